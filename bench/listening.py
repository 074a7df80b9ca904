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

The origin of every time is the activate: the kernel's time stamp of the activate datagram
reaching the server's host, taken by a packet capture on the room's bridge and moved to the
monotonic clock, in whole milliseconds as the server counts them (demo.activate_time). Neither the
server's printing nor this script's scheduling can move it; a server that takes the datagram late
shows in the server's row. The recording is placed on the same clock by the earliest
arrival times of its blocks (tools/room_sound.py).

    make bench-listening SONG=songs/frere_jacques.mid CLIENTS=4
"""
import argparse
import io
import os
import subprocess
import sys
import tempfile
import threading
import time

import numpy

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools")
sys.path.insert(0, TOOLS)
import demo  # noqa: E402
import room_sound as sound  # noqa: E402
from virtual_room import NotPrivateNetwork, VirtualRoom  # noqa: E402

MSG_NOTE = 4
SERVER_PORT = 27000
MATCH_WINDOW_MS = 150    # a heard tone further than this from its note is not that note
ACTIVATE_WAIT_SECONDS = 30
# Targets: ms beyond the median error, and ms beyond the reference's figure.
FIRST_NOTE_TARGET_MS = 2
P99_TARGET_MS = 3
LENGTH_TARGET_MS = 1


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


def match(heard, notes):
    """Pairs (note, heard tone) by key and nearest onset; heard: (channel, onset, length, key, cents)."""
    unused = list(heard)
    pairs = []
    for note in notes:
        near = [tone for tone in unused if tone[3] == note.key and abs(tone[1] - note.start) < MATCH_WINDOW_MS]
        if near:
            tone = min(near, key=lambda t: abs(t[1] - note.start))
            unused.remove(tone)
            pairs.append((note, tone))
    return pairs, unused


def percentile(values, q):
    return float(numpy.percentile(values, q)) if len(values) else float("nan")


def figures(heard, notes):
    """The figures of one player (tonecast's clients or the reference), as a dict."""
    pairs, extra = match(heard, notes)
    result = {"notes": "%d of %d heard, %d extra" % (len(pairs), len(notes), len(extra))}
    if not pairs:
        return result
    errors = numpy.array([tone[1] - note.start for note, tone in pairs])
    delay = float(numpy.median(errors))
    relative = errors - delay
    first_start = min(note.start for note in notes)
    first = max(r for (note, _), r in zip(pairs, relative) if note.start == first_start) \
        if any(note.start == first_start for note, _ in pairs) else float("nan")
    by_channel = {}
    for (_, tone), r in sorted(zip(pairs, relative), key=lambda item: item[0][1][1]):
        by_channel.setdefault(tone[0], r)
    chords = {}
    for note, tone in pairs:
        chords.setdefault(note.start, []).append(tone[1])
    spreads = [max(onsets) - min(onsets) for onsets in chords.values() if len(onsets) > 1]
    lengths = numpy.array([tone[2] - note.length for note, tone in pairs])
    result.update({
        "delay": delay, "first": first, "client_first": max(by_channel.values()),
        "client_firsts": [by_channel[c] for c in sorted(by_channel)],
        "onset": [percentile(abs(relative), q) for q in (50, 99, 100)],
        "chord": [percentile(spreads, q) for q in (50, 99, 100)],
        "length_mean": float(lengths.mean()), "length_p99": percentile(abs(lengths), 99),
        "cents": max(abs(tone[4]) for _, tone in pairs)})
    return result


def server_figures(capture, clients, origin, notes):
    """Note datagrams reaching the clients' hosts against the server's schedule, in ms."""
    arrivals = sorted(d.time for host in range(1, clients + 1) for d in capture.datagrams(host)
                      if len(d.payload) >= 2 and d.payload[0] == MSG_NOTE and d.payload[1] == 0
                      and d.source[1] == SERVER_PORT)
    if len(arrivals) != len(notes):
        return "%d note datagrams for %d notes" % (len(arrivals), len(notes))
    late = numpy.array([(t - origin) * 1000 - note.start for t, note in zip(arrivals, notes)])
    return "p50 %.1f, p99 %.1f, max %.1f ms; first note %+.1f ms" % (
        percentile(late, 50), percentile(late, 99), late.max(), late[0])


def trio(values):
    return " / ".join("%.1f" % v for v in values)


def print_table(song, clients, ours, reference, server):
    rows = [
        ("notes", ours["notes"], reference["notes"], ""),
    ]
    if "delay" in ours and "delay" in reference:
        rows += [
            ("sound path delay (median onset error)", "%.1f ms" % ours["delay"], "%.1f ms" % reference["delay"], ""),
            ("the song's first note, against the median", "%+.1f ms" % ours["first"], "%+.1f ms" % reference["first"],
             "<= +%d ms" % FIRST_NOTE_TARGET_MS, ours["first"] <= FIRST_NOTE_TARGET_MS),
            ("each player's first note, latest", "%+.1f ms (%s)" % (ours["client_first"], ", ".join(
                "%+.1f" % v for v in ours["client_firsts"])), "%+.1f ms" % reference["client_first"],
             "<= +%d ms" % FIRST_NOTE_TARGET_MS, ours["client_first"] <= FIRST_NOTE_TARGET_MS),
            ("onset error p50 / p99 / max", trio(ours["onset"]) + " ms", trio(reference["onset"]) + " ms",
             "p99 <= %.1f ms" % (reference["onset"][1] + P99_TARGET_MS),
             ours["onset"][1] <= reference["onset"][1] + P99_TARGET_MS),
            ("chord spread p50 / p99 / max", trio(ours["chord"]) + " ms", trio(reference["chord"]) + " ms",
             "p99 <= %.1f ms" % (reference["chord"][1] + P99_TARGET_MS),
             ours["chord"][1] <= reference["chord"][1] + P99_TARGET_MS),
            ("tone length error mean / p99", "%+.1f / %.1f ms" % (ours["length_mean"], ours["length_p99"]),
             "%+.1f / %.1f ms" % (reference["length_mean"], reference["length_p99"]),
             "mean within %d ms" % LENGTH_TARGET_MS, abs(ours["length_mean"]) <= LENGTH_TARGET_MS),
            ("pitch, furthest off", "%.1f cents" % ours["cents"], "%.1f cents" % reference["cents"], ""),
            ("server: note datagrams against the schedule", server, "", ""),
        ]
    print("listening: %s, %d clients; times after the activate on the program's own clock; errors less the "
          "median" % (song, clients))
    print("%-44s %-34s %-22s %s" % ("figure", "tonecast", "reference", "target"))
    met = []
    for figure, ours_text, reference_text, target, *verdict in rows:
        if verdict:
            met.append(verdict[0])
            target += " met" if verdict[0] else " NOT met"
        print("%-44s %-34s %-22s %s" % (figure, ours_text, reference_text, target))
    print("listening: %d of %d targets met" % (sum(met), len(met)) if met else "listening: nothing heard")


def run(options, folder):
    clients = int(options.clients)
    notes = sound.song_notes(options.song)
    client_names = ["c%d" % index for index in range(clients)]
    reference_names = ["r%d" % index for index in range(clients)]
    server = sound.SoundServer(folder, client_names + reference_names, [("reference", reference_names)])
    shown = io.StringIO()
    console = demo.Console(shown)
    with server, VirtualRoom(clients + 2) as room, room.capture() as capture:
        rendering = reference_rendering(notes, clients)
        with server.record() as recording:
            reference = subprocess.Popen(
                ["pacat", "--playback", "--device=reference", "--raw", "--format=s16le", "--rate=%d" % sound.RATE,
                 "--channels=%d" % clients, "--channel-map=" + sound.aux_channels(clients)],
                env=server.env, stdin=subprocess.PIPE)
            origin_found = []
            writer = threading.Thread(target=play_reference, args=(reference, capture, rendering, origin_found))
            writer.start()
            faults = demo.perform(room, options, clients, console, lambda index: server.player_env(client_names[index]))
            writer.join()
            reference.wait()
            time.sleep(demo.RECORDED_TAIL_SECONDS)
    if faults or not origin_found or origin_found[0] is None:
        print(shown.getvalue())
        print("listening: FAILED: %s" % "; ".join(faults or ["no activate seen"]))
        return 1
    origin = origin_found[0]
    heard = {name: [(index, *tone) for index in range(clients)
                    for tone in sound.heard_tones(recording, index + offset, origin)]
             for name, offset in (("tonecast", 0), ("reference", clients))}
    print_table(options.song, clients, figures(heard["tonecast"], notes), figures(heard["reference"], notes),
                server_figures(capture, clients, origin, notes))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tonecast", default="build/src/tonecast")
    parser.add_argument("--song", default="songs/frere_jacques.mid")
    parser.add_argument("--clients", default="4")
    options = parser.parse_args()
    # Every role runs the one program given.
    options.tonecast_server = options.tonecast_client = None
    problem = demo.check_arguments(options)
    if problem:
        print("listening: " + problem, file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="tonecast-listening-") as folder:
        try:
            return run(options, folder)
        except NotPrivateNetwork as error:
            print("listening: %s" % error, file=sys.stderr)
            return 2


if __name__ == "__main__":
    sys.exit(main())
