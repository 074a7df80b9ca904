#!/usr/bin/env python3
"""How the room sounds in time: a server (-w), N clients and the activate sender play a song as
hosts of the virtual room, the activate 2 s after the last has joined; each client plays through
ALSA's pulse plugin into its own channel of a private sound server's null sink, whose monitor is
recorded. --sound picks the server: PulseAudio resampling to a 50 kHz sink (the bench's own),
PulseAudio at the streams' own 48 kHz with shared memory and 20 ms fragments (a desktop's), or
PipeWire with its own quantum (Debian 12's desktop: tools/pipewire_sound.py). Every tone heard is
matched to the song's note on the program's own clock (whole-millisecond times after the activate,
as the server schedules them) and the figures are printed beside those of a reference: one
process (pacat) that plays a perfectly timed rendering of the same song, the same square waves,
into channels of the same sink in one stream from the activate on. Its stream keeps the sink's
time, which may run off the monotonic clock, so it is measured in the sink's frames. The reference
shows what the measuring chain itself costs, and the bench says when it is not right. Errors are
given less the median error, the sound path's constant delay, which every player of a room shares
and no listener hears.

The song is played twice, by clients that play each note as it arrives (--protocol 1) and by
clients that follow the server's clock and play each note at the time it is sent with; the
targets are those of the latter. With --link each client sits behind a link of its own whose
relay (tests/e2e/link_relay.py) delays every datagram as the profile draws it, seeded by --seed;
with --busy a processor hog spins on every core for the whole run.

With --pages N the new clients' run has N more voices, browser pages (tools/web_browser.py: Debian's
Chromium), each on a host of its own behind a link like a client's, whose relay passes on its TCP
connection to the server's web room (port 27080), each playing into its own channel of the sink.
They join before the activate, each once it has its id and the clock burst that follows; one more
page joins a third into the song. Then every voice's notes are counted as heard, PCs and pages
apart, chords are measured between a page and a PC and between pages, and the late page's first
note is timed.

The origin of every time is the activate: the kernel's time stamp of the activate datagram
reaching the server's host, taken by a packet capture on the room's bridge and moved to the
monotonic clock, in whole milliseconds as the server counts them (demo.activate_time). Neither the
server's printing nor this script's scheduling can move it; a server that takes the datagram late
shows in the server's rows. The recording is placed on the same clock by the earliest
arrival times of its blocks (tools/room_sound.py).

    make bench-listening SONG=songs/frere_jacques.mid CLIENTS=4 LINK=wifi BUSY=1 SEED=1 LEAD=150
    make bench-listening SOUND=desktop READINGS=/tmp/readings
    make bench-listening CLIENTS=2 PAGES=2 LINK=wired
"""
import argparse
import collections
import contextlib
import io
import json
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time

import numpy

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(REPO, "tools"), os.path.join(REPO, "tests", "e2e")]
import demo  # noqa: E402
import room_sound as sound  # noqa: E402
from link_relay import PROFILES, start_relay  # noqa: E402
from pipewire_sound import PipeWireServer  # noqa: E402
from virtual_room import NotPrivateNetwork, VirtualRoom  # noqa: E402
from web_browser import Browser, BrowserError  # noqa: E402

MSG_NOTE = 4          # a note to play on arrival
MSG_TIMED_NOTE = 6    # a note sent ahead with the time it is to sound
SERVER_PORT = 27000
DEFAULT_LEAD_MS = 150   # the server's lead when none is given
MATCH_WINDOW_MS = 150    # a heard tone further than this from its note is not that note
ACTIVATE_WAIT_SECONDS = 30
# A room is started once everyone is in: by then each player's sound stream has run for a while,
# and so has the sink's, whose rate and render-ahead change as streams start (the recording's
# clock is placed by it).
ROOM_SETTLE_SECONDS = 2
# The clients' styles, each played once: their name and their options.
STYLES = (("old clients", ["--protocol", "1"]), ("new clients", []))
# Targets for the new clients: ms either side of the median error, and ms beyond the reference's
# figure (a busy machine's).
FIRST_NOTE_TARGET_MS = 1
P99_TARGET_MS = 1
BUSY_P99_TARGET_MS = 2.5
WEB_PORT = 27080
PAGE_READY_SECONDS = 20  # for a page to load over its link, join and make its clock burst
CLOCK_BURST = 64         # the exchanges a page makes right after its welcome
PAGE_OVER_SECONDS = 10   # for a page's last tones, once the server has ended
LATE_JOIN_PART = 1 / 3   # of the song, when the late page joins
# Targets for the pages, in ms: chord spread p99 between a page and a PC and between pages; the late
# page's first note, against the median like every error.
PAGE_PC_SPREAD_TARGET_MS = 5
PAGE_PAGE_SPREAD_TARGET_MS = 3
LATE_FIRST_TARGET_MS = 5
# The reference is placed to the frame: beyond this, in ms (onset p99), the measuring chain is at fault.
REFERENCE_RIGHT_MS = 0.3


def reference_channels(notes, voices):
    """A channel for each note: the first one free at its start, as one voice per player."""
    free_at, channels = [0] * voices, []
    for note in notes:
        channel = next((c for c in range(voices) if free_at[c] <= note.start), None)
        if channel is None:
            channel = min(range(voices), key=lambda c: free_at[c])
        free_at[channel] = note.start + note.length + 1
        channels.append(channel)
    return channels


def reference_rendering(notes, voices):
    """Frames of the whole song with every tone at its exact time, one channel per voice."""
    last = max(note.start + note.length for note in notes)
    frames = numpy.zeros(((last + 500) * sound.RATE // 1000, voices), dtype=numpy.int16)
    for note, channel in zip(notes, reference_channels(notes, voices)):
        if note.length <= 0:
            continue
        tone = sound.square_tone(sound.key_frequency(note.key), note.length)
        first = note.start * sound.RATE // 1000
        frames[first:first + len(tone), channel] = tone
    return frames


def play_reference(player, capture, frames, origin_found):
    """Starts the rendering the moment the activate is seen; its stream then keeps the time."""
    origin = demo.activate_time(capture, time.monotonic() + ACTIVATE_WAIT_SECONDS)
    origin_found.append(origin)
    try:
        if origin is not None:
            player.stdin.write(frames.tobytes())
        player.stdin.close()
    except BrokenPipeError:
        pass


def match(heard, notes, delay=0.0):
    """Pairs (note, heard tone) by key and the onset nearest the note's start plus the delay;
    heard: (channel, onset, length, key, cents)."""
    unused = list(heard)
    pairs = []
    for note in notes:
        expected = note.start + delay
        near = [tone for tone in unused if tone[3] == note.key and abs(tone[1] - expected) < MATCH_WINDOW_MS]
        if near:
            tone = min(near, key=lambda t: abs(t[1] - expected))
            unused.remove(tone)
            pairs.append((note, tone))
    return pairs, unused


def percentile(values, q):
    return float(numpy.percentile(values, q)) if len(values) else float("nan")


def furthest(values):
    """The value furthest from zero, sign kept."""
    return max(values, key=abs, default=float("nan"))


def figures(heard, notes):
    """The figures of one player (tonecast's clients or the reference), as a dict."""
    pairs, _ = match(heard, notes)
    if pairs:
        # Matched again around the sound path's delay, so that a late tone is still its note's.
        pairs, extra = match(heard, notes, float(numpy.median([tone[1] - note.start for note, tone in pairs])))
    else:
        extra = heard
    result = {"notes": "%d of %d heard, %d extra" % (len(pairs), len(notes), len(extra)),
              "all_heard": len(pairs) == len(notes)}
    if not pairs:
        return result
    errors = numpy.array([tone[1] - note.start for note, tone in pairs])
    delay = float(numpy.median(errors))
    relative = errors - delay
    first_start = min(note.start for note in notes)
    by_channel = {}
    for (_, tone), r in sorted(zip(pairs, relative), key=lambda item: item[0][1][1]):
        by_channel.setdefault(tone[0], r)
    chords = {}
    for note, tone in pairs:
        chords.setdefault(note.start, []).append(tone[1])
    spreads = [max(onsets) - min(onsets) for onsets in chords.values() if len(onsets) > 1]
    lengths = numpy.array([tone[2] - note.length for note, tone in pairs])
    result.update({
        "delay": delay, "first": furthest([r for (note, _), r in zip(pairs, relative) if note.start == first_start]),
        "client_first": furthest(by_channel.values()), "client_firsts": [by_channel[c] for c in sorted(by_channel)],
        "onset": [percentile(abs(relative), q) for q in (50, 99, 100)],
        "chord": [percentile(spreads, q) for q in (50, 99, 100)],
        "length_mean": float(lengths.mean()), "length_p99": percentile(abs(lengths), 99),
        "cents": max(abs(tone[4]) for _, tone in pairs), "pairs": pairs})
    return result


def server_figures(capture, clients, origin, notes):
    """The note datagrams as the bridge hands them to hosts 1 to N (the clients', or their links'
    front hosts) against the song's schedule, in ms: how late each note to play on arrival came,
    and how far ahead of its start each timed note came. A dict of texts."""
    arrivals = sorted((d.time, d.payload[0]) for host in range(1, clients + 1) for d in capture.datagrams(host)
                      if len(d.payload) >= 2 and d.payload[0] in (MSG_NOTE, MSG_TIMED_NOTE) and d.payload[1] == 0
                      and d.source[1] == SERVER_PORT)
    if len(arrivals) != len(notes):
        return {"late": "%d note datagrams for %d notes" % (len(arrivals), len(notes))}
    after = [((when - origin) * 1000 - note.start, kind) for (when, kind), note in zip(arrivals, notes)]
    late = [ms for ms, kind in after if kind == MSG_NOTE]
    ahead = [-ms for ms, kind in after if kind == MSG_TIMED_NOTE]
    result = {"late": "sent ahead", "ahead": "-"}
    if late:
        result["late"] = "%s ms, first %+.1f" % (
            trio([percentile(late, 50), percentile(late, 99), max(late)]), after[0][0])
    if ahead:
        result["ahead"] = trio([min(ahead), percentile(ahead, 50), max(ahead)]) + " ms"
    return result


def trio(values, decimals=1):
    return " / ".join("%.*f" % (decimals, v) for v in values)


@contextlib.contextmanager
def processor_hogs(count):
    """count processes that spin for as long as the with block lasts."""
    hogs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]
    try:
        yield
    finally:
        for hog in hogs:
            hog.kill()
            hog.wait()


@contextlib.contextmanager
def links(room, options, fronts, folder, seconds=None):
    """The hosts the players play on, as a list: the front hosts given on no link; otherwise hosts
    behind those, each with a relay of the link's profile on its front host. fronts: (host, a TCP
    port the relay passes on too, or None); seconds: how long the room plays, the song's length
    when not given. On leaving, the relays are stopped and the list given as well (late_ms) gets how
    late each relay sent each datagram, in ms."""
    late_ms = []
    if options.link == "none":
        yield [front for front, _ in fronts], late_ms
        return
    hosts = [room.add_host_behind(front) for front, _ in fronts]
    reports = [os.path.join(folder, "relay%d" % index) for index in range(len(fronts))]
    if seconds is None:
        seconds = demo.song_seconds(os.path.abspath(options.song)) or demo.UNKNOWN_LENGTH_SECONDS
    # Only a limit for a relay that outlives the bench: each is stopped at the end.
    lifetime = seconds + demo.READY_SECONDS * (len(fronts) + 1) + demo.ACTIVATE_SECONDS + demo.END_MARGIN_SECONDS
    relays = []
    try:
        for index, ((front, tcp_port), host) in enumerate(zip(fronts, hosts)):
            relays.append(start_relay(room, front, host, VirtualRoom.address(demo.SERVER_HOST),
                                      seed=options.seed * demo.MAX_CLIENTS + index, lifetime=lifetime,
                                      profile=options.link, report=reports[index], tcp_port=tcp_port))
        yield hosts, late_ms
    finally:
        for relay in relays:
            relay.terminate()
            relay.wait()
        for report in reports[:len(relays)]:
            with open(report) as lines:
                late_ms.extend(float(line) for line in lines)


def join_page(browser, url, expected_id):
    """Opens the page and waits until it has its id and its clock burst: its tab, with the faults
    found (an empty list when it joined as expected)."""
    tab = browser.open(url)
    deadline = time.monotonic() + PAGE_READY_SECONDS
    state = {}
    while time.monotonic() < deadline:
        state = tab.evaluate("({id: window.tonecast.id, exchanges: window.tonecast.exchanges})") or {}
        if state.get("id") is not None and state.get("exchanges", 0) >= CLOCK_BURST:
            break
        time.sleep(0.05)
    if state.get("id") != expected_id or state.get("exchanges", 0) < CLOCK_BURST:
        return tab, ["the page meant to be client %d had id %s and %s clock exchanges after %d s"
                     % (expected_id, state.get("id"), state.get("exchanges"), PAGE_READY_SECONDS)]
    return tab, []


def played_lines(tab):
    """What a page logged of each note it was given, in order: dicts of id, key, ms, at and late."""
    return [json.loads(line.split(" ", 1)[1]) for line in tab.console() if line.startswith("tonecast-played ")]


def sound_server(profile, folder, names, groups):
    """The room's sound server of the profile: PipeWire as a desktop runs it (its own quantum, the
    players through ALSA's pulse plugin), or PulseAudio in one of its profiles."""
    if profile == "pipewire":
        return PipeWireServer(folder, names, groups)
    return sound.SoundServer(folder, names, groups, profile)


def play(options, folder, client_options, pages=0):
    """One performance with clients given the options, and the reference beside it: a dict of the
    figures, or None after the run's output and its faults were printed. pages: browser pages that
    join before the activate; with any, one more joins a third into the song."""
    clients = int(options.clients)
    notes = sound.song_notes(options.song)
    late = 1 if pages else 0
    client_names = ["c%d" % index for index in range(clients)]
    page_names = ["p%d" % index for index in range(pages + late)]  # the late page's last
    players = client_names + page_names
    voices = len(players)
    reference_names = ["r%d" % index for index in range(voices)]
    server = sound_server(options.sound, folder, players + reference_names, [("reference", reference_names)])
    server_options = (["--lead", str(options.lead)] if options.lead is not None else []) + (["--web"] if pages else [])
    # With clients that know the room's clock the song starts a lead after the activate.
    lead_ms = 0 if client_options else (options.lead if options.lead is not None else DEFAULT_LEAD_MS)
    # The pages' front hosts are on the bridge after the activate sender's.
    fronts = [(1 + index, None) for index in range(clients)] + \
        [(clients + 2 + index, WEB_PORT) for index in range(pages + late)]
    shown = io.StringIO()
    console = demo.Console(shown)
    faults, tabs, late_join = [], [], []
    with server, VirtualRoom(clients + 2 + pages + late) as room, links(room, options, fronts, folder) as (
            hosts, relay_late):
        urls = ["http://%s:%d/?test" % (VirtualRoom.address(demo.SERVER_HOST) if options.link == "none"
                                        else VirtualRoom.link_addresses(host)[1], WEB_PORT)
                for host in hosts[clients:]]
        with room.capture() as capture:
            rendering = reference_rendering(notes, voices)
            with server.record() as recording, contextlib.ExitStack() as browsers:
                reference = subprocess.Popen(
                    ["pacat", "--playback", "--device=reference", "--raw", "--format=s16le",
                     "--rate=%d" % sound.RATE, "--channels=%d" % voices,
                     "--channel-map=" + sound.aux_channels(voices)],
                    env=server.env, stdin=subprocess.PIPE)
                # Each page's Chromium is started now, the recording running: it takes a second or two.
                started = [browsers.enter_context(Browser(command_prefix=room.command(host, []),
                                                          env=server.player_env(name)))
                           for host, name in zip(hosts[clients:], page_names)]

                def join_pages():
                    """Each page in turn, so that the n-th is given the id after the clients'; then
                    the room settles before the activate."""
                    for index in range(pages):
                        tab, found = join_page(started[index], urls[index], clients + index)
                        tabs.append(tab)
                        if found:
                            return found
                    time.sleep(ROOM_SETTLE_SECONDS)
                    return []

                def join_late():
                    """The late page, a third into the song: when it opened and when it had joined, in ms
                    after the song's start."""
                    while not origin_found:
                        time.sleep(0.01)
                    if origin_found[0] is None:
                        return
                    song_start = origin_found[0] + lead_ms / 1000
                    seconds = demo.song_seconds(os.path.abspath(options.song)) or 0
                    time.sleep(max(0.0, song_start + seconds * LATE_JOIN_PART - time.monotonic()))
                    opened = time.monotonic()
                    try:
                        tab, found = join_page(started[-1], urls[-1], clients + pages)
                    except BrowserError as error:
                        faults.append("the late page: %s" % error)
                        return
                    tabs.append(tab)
                    faults.extend(found)
                    late_join.extend(((opened - song_start) * 1000, (time.monotonic() - song_start) * 1000))

                def client_env(index):
                    """A client's environment; with --readings the new clients' record their stream's."""
                    env = server.player_env(client_names[index])
                    if options.readings and not client_options:
                        env["TONECAST_STREAM_READINGS"] = os.path.join(
                            options.readings, "%s-%s.txt" % (options.sound, client_names[index]))
                    return env

                origin_found = []
                writer = threading.Thread(target=play_reference, args=(reference, capture, rendering, origin_found))
                writer.start()
                joiner = threading.Thread(target=join_late)
                if late:
                    joiner.start()
                try:
                    faults[:0] = demo.perform(room, options, clients, console,
                                              client_env,
                                              hosts.__getitem__, server_options, client_options, join_pages)
                except BrowserError as error:
                    faults.append("a page: %s" % error)
                writer.join()
                reference.wait()
                if late:
                    joiner.join()
                for tab, name in zip(tabs, page_names):
                    try:
                        tab.wait_for_console("tonecast-over", timeout=PAGE_OVER_SECONDS)
                    except BrowserError as error:
                        faults.append("page %s did not end: %s" % (name, error))
                played = [played_lines(tab) for tab in tabs]
                time.sleep(demo.RECORDED_TAIL_SECONDS)
    if faults or not origin_found or origin_found[0] is None:
        print(shown.getvalue())
        print("listening: FAILED: %s" % "; ".join(faults or ["no activate seen"]))
        return None
    origin = origin_found[0]
    song_origin = origin + lead_ms / 1000
    # The reference's stream keeps time by the sink's frames, whose clock may run off the monotonic one.
    heard = {name: [(index, *tone) for index in range(count)
                    for tone in sound.heard_tones(recording, index + offset, start, in_frames)]
             for name, count, offset, start, in_frames in (("tonecast", voices, 0, song_origin, False),
                                                           ("reference", voices, voices, origin, True))}
    ours = figures(heard["tonecast"], notes)
    result = {"tonecast": ours, "reference": figures(heard["reference"], notes), "relay_late": relay_late}
    pc_notes = notes
    if pages:
        given = notes_given(capture, clients, played, notes)
        result["pages"] = page_figures(ours, given, played, clients, late_join)
        pc_notes = sorted(note for voice in given[:clients] for note in voice)
    result["server"] = server_figures(capture, clients, song_origin, pc_notes)
    return result


def notes_given(capture, clients, played, notes):
    """The song's notes each voice was given, by voice (the clients', then the pages'): the timed
    notes the bridge handed each client's host, and what each page logged, placed by their moment on
    the server's clock. The song's first note is the first one given."""
    moments = [[(struct.unpack("<h", d.payload[2:4])[0], struct.unpack("<I", d.payload[6:10])[0])
                for d in capture.datagrams(1 + index)
                if d.payload[:2] == bytes([MSG_TIMED_NOTE, 0]) and d.source[1] == SERVER_PORT]
               for index in range(clients)]
    moments += [[(line["key"], line["at"]) for line in lines] for lines in played]
    every = [at for voice in moments for _, at in voice]
    if not every:
        return [[] for _ in moments]
    # The server's microseconds wrap at 32 bits: each taken as the nearest to one of them.
    near = lambda at: (at - every[0] + 2 ** 31) % 2 ** 32 - 2 ** 31  # noqa: E731
    first = min(near(at) for at in every)
    by_start_key = collections.defaultdict(list)
    for note in notes:
        by_start_key[(note.start, note.key)].append(note)
    given = []
    for voice in moments:
        given.append([])
        for key, at in voice:
            found = by_start_key.get((notes[0].start + round((near(at) - first) / 1000), key))
            if found:
                given[-1].append(found.pop())
    return given


def page_figures(ours, given, played, clients, late_join):
    """The pages' figures beside the clients': how many of the notes each side was given were heard
    on the voice given them, chord spreads between a page and a client and between pages, the
    pages' median onset error less the clients', and the late page's first note."""
    pairs = ours.get("pairs", [])
    delay = ours.get("delay", 0.0)
    voices = len(given)
    result = {}
    for side, members in (("pc", range(clients)), ("page", range(clients, voices))):
        heard = given_count = 0
        for voice in members:
            on_voice = collections.Counter(note for note, tone in pairs if tone[0] == voice)
            heard += sum((collections.Counter(given[voice]) & on_voice).values())
            given_count += len(given[voice])
        result[side + "_heard"] = (heard, given_count)
    late_count = collections.Counter(line["late"] for lines in played for line in lines)
    result["page_late"] = (late_count["shortened"], late_count["missed"])
    chords = {}
    for note, tone in pairs:
        chords.setdefault(note.start, ([], []))[tone[0] >= clients].append(tone[1])
    result["page_pc"] = [max(max(pcs) - min(onsets), max(onsets) - min(pcs))
                         for pcs, onsets in chords.values() if pcs and onsets]
    result["page_page"] = [max(onsets) - min(onsets) for _, onsets in chords.values() if len(onsets) > 1]
    relative = [(tone[0] >= clients, tone[1] - note.start - delay) for note, tone in pairs]
    result["page_offset"] = percentile([r for page, r in relative if page], 50) - \
        percentile([r for page, r in relative if not page], 50)
    # The late page is the last voice; its first note is the first it logged.
    result["late_join"] = late_join
    result["late_first"] = None
    if given[-1]:
        first = min(given[-1])
        onsets = [tone[1] for note, tone in pairs if tone[0] == voices - 1 and note == first]
        result["late_first"] = (first, onsets[0] - first.start - delay if onsets else None, played[-1][0]["late"])
    return result


def texts(result, each_player=True):
    """The table's texts for one column's figures, by row; each_player: each one's first note too."""
    if "delay" not in result:
        return {"notes": result["notes"]}
    return {
        "notes": result["notes"],
        "delay": "%.1f ms" % result["delay"],
        "first": "%+.1f ms" % result["first"],
        "client_first": "%+.1f ms" % result["client_first"] + (" (%s)" % ", ".join(
            "%+.1f" % v for v in result["client_firsts"]) if each_player else ""),
        "onset": trio(result["onset"]) + " ms",
        "chord": trio(result["chord"]) + " ms",
        "length": "%+.1f / %.1f ms" % (result["length_mean"], result["length_p99"]),
        "cents": "%.1f cents" % result["cents"]}


def page_texts(pages):
    """The table's texts for the pages' figures, by row."""
    def heard(side):
        return "%d of %d given heard" % pages[side + "_heard"]
    result = {"pc_heard": heard("pc"), "page_heard": heard("page") + ", %d shortened, %d missed" % pages["page_late"],
              "page_pc": "%s ms (%d chords)" % (trio([percentile(pages["page_pc"], q) for q in (50, 99, 100)]),
                                                 len(pages["page_pc"])),
              "page_page": "%s ms (%d chords)" % (trio([percentile(pages["page_page"], q) for q in (50, 99, 100)]),
                                                   len(pages["page_page"])),
              "page_offset": "%+.1f ms" % pages["page_offset"]}
    if not pages["late_join"]:
        result["late_first"] = "did not join"
    elif pages["late_first"] is None:
        result["late_first"] = "given no note (had joined by %.0f ms)" % pages["late_join"][1]
    else:
        note, error, late = pages["late_first"]
        result["late_first"] = "%s (its note at %d ms, had joined by %.0f ms%s)" % (
            "not heard" if error is None else "%+.1f ms" % error, note.start, pages["late_join"][1],
            "" if late == "none" else ", " + late)
    return result


def print_table(options, old, new):
    ours, reference = new["tonecast"], new["reference"]
    pages = new.get("pages")
    margin = BUSY_P99_TARGET_MS if options.busy else P99_TARGET_MS
    nan = float("nan")
    limit = {key: reference.get(key, [nan] * 3)[1] + margin for key in ("onset", "chord")}
    # (key, figure, target, whether the new clients meet it), in the table's order.
    rows = [("notes", "notes", "every note heard", lambda: ours["all_heard"]),
            ("delay", "sound path delay (median onset error)", "", None),
            ("first", "the song's first note, against the median", "within %d ms" % FIRST_NOTE_TARGET_MS,
             lambda: abs(ours["first"]) <= FIRST_NOTE_TARGET_MS),
            ("client_first", "each player's first note, furthest", "within %d ms" % FIRST_NOTE_TARGET_MS,
             lambda: abs(ours["client_first"]) <= FIRST_NOTE_TARGET_MS),
            ("onset", "onset error p50 / p99 / max", "p99 <= %.1f ms" % limit["onset"],
             lambda: ours["onset"][1] <= limit["onset"]),
            ("chord", "chord spread p50 / p99 / max", "p99 <= %.1f ms" % limit["chord"],
             lambda: ours["chord"][1] <= limit["chord"]),
            ("length", "tone length error mean / p99", "", None),
            ("cents", "pitch, furthest off", "", None)]
    columns = [texts(old["tonecast"]), texts(ours), texts(reference, each_player=False)]
    if pages:
        def late_first_met():
            first = pages["late_first"]
            return first is not None and first[1] is not None and abs(first[1]) <= LATE_FIRST_TARGET_MS
        rows[1:1] = [("pc_heard", "clients: the notes each was given", "every note heard",
                      lambda: pages["pc_heard"][0] == pages["pc_heard"][1]),
                     ("page_heard", "pages: the notes each was given", "every note heard",
                      lambda: pages["page_heard"][0] == pages["page_heard"][1])]
        rows[-2:-2] = [("page_pc", "chord spread page-client p50 / p99 / max",
                        "p99 <= %d ms" % PAGE_PC_SPREAD_TARGET_MS,
                        lambda: percentile(pages["page_pc"], 99) <= PAGE_PC_SPREAD_TARGET_MS),
                       ("page_page", "chord spread page-page p50 / p99 / max",
                        "p99 <= %d ms" % PAGE_PAGE_SPREAD_TARGET_MS,
                        lambda: percentile(pages["page_page"], 99) <= PAGE_PAGE_SPREAD_TARGET_MS),
                       ("page_offset", "median onset error, pages less clients", "", None),
                       ("late_first", "late page's first note, against the median",
                        "within %d ms" % LATE_FIRST_TARGET_MS, late_first_met)]
        columns[1].update(page_texts(pages))
    print("listening: %s, %d clients%s, sound server %s, link %s, %s, seed %d, server lead %s; times after the "
          "activate on the program's own clock; errors less the median"
          % (options.song, int(options.clients),
             " (new clients' run: and %d page%s, one more a third into the song)"
             % (options.pages, "" if options.pages == 1 else "s") if pages else "",
             options.sound, options.link, "busy" if options.busy else "not busy",
             options.seed, "%d ms" % options.lead if options.lead is not None else "its default"))
    line = "%-44s %-34s %-34s %-24s %s"
    print(line % ("figure", "old clients", "new clients", "reference", "target (new clients)"))
    met = []
    for key, figure, target, verdict in rows:
        if verdict:
            # Nothing heard meets no target.
            met.append("delay" in ours and verdict())
            target += " met" if met[-1] else " NOT met"
        print(line % (figure, *(column.get(key, "") for column in columns), target))
    print(line % ("server: notes late p50 / p99 / max, first", old["server"].get("late", ""),
                  new["server"].get("late", ""), "", ""))
    print(line % ("server: timed notes ahead min / p50 / max", old["server"].get("ahead", ""),
                  new["server"].get("ahead", ""), "", ""))
    if options.link != "none":
        print(line % ("link relays: sent after due p50 / p99 / max",
                      *("%s ms" % trio([percentile(run["relay_late"], q) for q in (50, 99, 100)], 2)
                        for run in (old, new)), "", ""))
    print("listening: the server's rows count the note datagrams the bridge hands to %s; the reference of the "
          "old clients' run: onset p99 %.1f ms, chord spread p99 %.1f ms"
          % ("the clients' hosts" if options.link == "none" else "the links' front hosts, before the link's delay",
             old["reference"].get("onset", [nan] * 3)[1], old["reference"].get("chord", [nan] * 3)[1]))
    if pages and options.link != "none":
        print("listening: each page is on a host of its own behind a link of the same profile as a client's, "
              "its relay passing on the page's TCP connection to the server's port %d" % WEB_PORT)
    for name, run in (("old", old), ("new", new)):
        onset = run["reference"].get("onset", [nan] * 3)[1]
        print("listening: the reference of the %s clients' run is %s on this sound server: onset p99 %.2f ms"
              % (name, "right" if onset <= REFERENCE_RIGHT_MS else "NOT right, its figures and the targets are not "
                 "to be trusted", onset))
    print("listening: %d of %d targets met" % (sum(met), len(met)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tonecast", default="build/src/tonecast")
    parser.add_argument("--song", default="songs/frere_jacques.mid")
    parser.add_argument("--clients", default="4")
    parser.add_argument("--link", choices=["none", *PROFILES], default="none",
                        help="the link between each client and the room")
    parser.add_argument("--sound", choices=[*sound.PROFILES, "pipewire"], default=sound.DEFAULT_PROFILE,
                        help="the sound server the room plays into")
    parser.add_argument("--readings", metavar="DIR",
                        help="where the new clients write each reading of their sound stream's clock")
    parser.add_argument("--busy", action="store_true", help="a processor hog on every core throughout")
    parser.add_argument("--seed", type=int, default=1, help="seeds the links' delays")
    parser.add_argument("--lead", type=int, metavar="MS", help="the server's --lead, when given")
    parser.add_argument("--pages", type=int, default=0, metavar="N",
                        help="browser pages among the new clients' voices, and one more joining a third into the song")
    options = parser.parse_args()
    # Every role runs the one program given.
    options.tonecast_server = options.tonecast_client = None
    problem = demo.check_arguments(options)
    if not problem and not 0 <= options.pages <= demo.MAX_CLIENTS - 1 - int(options.clients):
        problem = "PAGES must be a whole number from 0 to %d beside %s clients: the late page takes a slot too" % (
            demo.MAX_CLIENTS - 1 - int(options.clients), options.clients)
    if problem:
        print("listening: " + problem, file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="tonecast-listening-") as folder, \
            processor_hogs(os.cpu_count() if options.busy else 0):
        runs = []
        try:
            for name, client_options in STYLES:
                run_folder = os.path.join(folder, name.split()[0])
                os.mkdir(run_folder)
                # Pages only know the room's clock: the old clients' run has none.
                runs.append(play(options, run_folder, client_options, options.pages if not client_options else 0))
                if runs[-1] is None:
                    print("listening: the %s' run failed" % name)
                    return 1
        except NotPrivateNetwork as error:
            print("listening: %s" % error, file=sys.stderr)
            return 2
    print_table(options, *runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
