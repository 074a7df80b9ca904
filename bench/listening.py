#!/usr/bin/env python3
"""How the room sounds in time: a server (-w), N clients and the activate sender play a song as
hosts of the virtual room; each client plays through ALSA's pulse plugin into its own channel of a
private PulseAudio null sink, whose monitor is recorded. Every tone heard is matched to the song's
note on the program's own clock (whole-millisecond times after the activate, as the server
schedules them) and the figures are printed beside those of a reference: one process (pacat)
that plays a perfectly timed rendering of the same song, the same square waves, into channels of
the same sink in one stream from the activate on. The reference shows what the measuring chain
itself costs. Errors are given less the median error, the sound path's constant delay, which
every player of a room shares and no listener hears.

The song is played twice, by clients that play each note as it arrives (--protocol 1) and by
clients that follow the server's clock and play each note at the time it is sent with; the
targets are those of the latter. With --link each client sits behind a link of its own whose
relay (tests/e2e/link_relay.py) delays every datagram as the profile draws it, seeded by --seed;
with --busy a processor hog spins on every core for the whole run.

The origin of every time is the activate: the kernel's time stamp of the activate datagram
reaching the server's host, taken by a packet capture on the room's bridge and moved to the
monotonic clock, in whole milliseconds as the server counts them (demo.activate_time). Neither the
server's printing nor this script's scheduling can move it; a server that takes the datagram late
shows in the server's rows. The recording is placed on the same clock by the earliest
arrival times of its blocks (tools/room_sound.py).

    make bench-listening SONG=songs/frere_jacques.mid CLIENTS=4 LINK=wifi BUSY=1 SEED=1 LEAD=150
"""
import argparse
import contextlib
import io
import os
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
from virtual_room import NotPrivateNetwork, VirtualRoom  # noqa: E402

MSG_NOTE = 4          # a note to play on arrival
MSG_TIMED_NOTE = 6    # a note sent ahead with the time it is to sound
SERVER_PORT = 27000
DEFAULT_LEAD_MS = 150   # the server's lead when none is given
MATCH_WINDOW_MS = 150    # a heard tone further than this from its note is not that note
ACTIVATE_WAIT_SECONDS = 30
# The clients' styles, each played once: their name and their options.
STYLES = (("old clients", ["--protocol", "1"]), ("new clients", []))
# Targets for the new clients: ms either side of the median error, and ms beyond the reference's
# figure (a busy machine's).
FIRST_NOTE_TARGET_MS = 1
P99_TARGET_MS = 1
BUSY_P99_TARGET_MS = 2


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
        "cents": max(abs(tone[4]) for _, tone in pairs)})
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
def links(room, options, clients, folder):
    """The hosts the clients play on, as a list: 1 to N on no link; otherwise hosts behind those,
    each with a relay of the link's profile on its front host. On leaving, the relays are stopped
    and the list given as well (late_ms) gets how late each relay sent each datagram, in ms."""
    late_ms = []
    if options.link == "none":
        yield [1 + index for index in range(clients)], late_ms
        return
    hosts = [room.add_host_behind(1 + index) for index in range(clients)]
    reports = [os.path.join(folder, "relay%d" % index) for index in range(clients)]
    seconds = demo.song_seconds(os.path.abspath(options.song)) or demo.UNKNOWN_LENGTH_SECONDS
    # Only a limit for a relay that outlives the bench: each is stopped at the end.
    lifetime = seconds + demo.READY_SECONDS * (clients + 1) + demo.ACTIVATE_SECONDS + demo.END_MARGIN_SECONDS
    relays = []
    try:
        for index, host in enumerate(hosts):
            relays.append(start_relay(room, 1 + index, host, VirtualRoom.address(demo.SERVER_HOST),
                                      seed=options.seed * demo.MAX_CLIENTS + index, lifetime=lifetime,
                                      profile=options.link, report=reports[index]))
        yield hosts, late_ms
    finally:
        for relay in relays:
            relay.terminate()
            relay.wait()
        for report in reports[:len(relays)]:
            with open(report) as lines:
                late_ms.extend(float(line) for line in lines)


def play(options, folder, client_options):
    """One performance with clients given the options, and the reference beside it: a dict of the
    figures, or None after the run's output and its faults were printed."""
    clients = int(options.clients)
    notes = sound.song_notes(options.song)
    client_names = ["c%d" % index for index in range(clients)]
    reference_names = ["r%d" % index for index in range(clients)]
    server = sound.SoundServer(folder, client_names + reference_names, [("reference", reference_names)])
    server_options = ["--lead", str(options.lead)] if options.lead is not None else []
    shown = io.StringIO()
    console = demo.Console(shown)
    with server, VirtualRoom(clients + 2) as room, links(room, options, clients, folder) as (hosts, relay_late):
        with room.capture() as capture:
            rendering = reference_rendering(notes, clients)
            with server.record() as recording:
                reference = subprocess.Popen(
                    ["pacat", "--playback", "--device=reference", "--raw", "--format=s16le",
                     "--rate=%d" % sound.RATE, "--channels=%d" % clients,
                     "--channel-map=" + sound.aux_channels(clients)],
                    env=server.env, stdin=subprocess.PIPE)
                origin_found = []
                writer = threading.Thread(target=play_reference, args=(reference, capture, rendering, origin_found))
                writer.start()
                faults = demo.perform(room, options, clients, console,
                                      lambda index: server.player_env(client_names[index]), hosts.__getitem__,
                                      server_options, client_options)
                writer.join()
                reference.wait()
                time.sleep(demo.RECORDED_TAIL_SECONDS)
    if faults or not origin_found or origin_found[0] is None:
        print(shown.getvalue())
        print("listening: FAILED: %s" % "; ".join(faults or ["no activate seen"]))
        return None
    origin = origin_found[0]
    # With clients that know the room's clock the song starts a lead after the activate.
    song_origin = origin + (0 if client_options else (options.lead if options.lead is not None
                                                          else DEFAULT_LEAD_MS) / 1000)
    heard = {name: [(index, *tone) for index in range(clients)
                    for tone in sound.heard_tones(recording, index + offset, start)]
             for name, offset, start in (("tonecast", 0, song_origin), ("reference", clients, origin))}
    return {"tonecast": figures(heard["tonecast"], notes), "reference": figures(heard["reference"], notes),
            "server": server_figures(capture, clients, song_origin, notes), "relay_late": relay_late}


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


def print_table(options, old, new):
    ours, reference = new["tonecast"], new["reference"]
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
    print("listening: %s, %d clients, link %s, %s, seed %d, server lead %s; times after the activate on the "
          "program's own clock; errors less the median"
          % (options.song, int(options.clients), options.link, "busy" if options.busy else "not busy",
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
    print("listening: %d of %d targets met" % (sum(met), len(met)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tonecast", default="build/src/tonecast")
    parser.add_argument("--song", default="songs/frere_jacques.mid")
    parser.add_argument("--clients", default="4")
    parser.add_argument("--link", choices=["none", *PROFILES], default="none",
                        help="the link between each client and the room")
    parser.add_argument("--busy", action="store_true", help="a processor hog on every core throughout")
    parser.add_argument("--seed", type=int, default=1, help="seeds the links' delays")
    parser.add_argument("--lead", type=int, metavar="MS", help="the server's --lead, when given")
    options = parser.parse_args()
    # Every role runs the one program given.
    options.tonecast_server = options.tonecast_client = None
    problem = demo.check_arguments(options)
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
                runs.append(play(options, run_folder, client_options))
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
