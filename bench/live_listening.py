#!/usr/bin/env python3
"""How live playing sounds to a listener: `tonecast --live --rtp-midi` with two clients of live
playing's version and one older client (--protocol 1) as hosts of the virtual room, each into its
own channel of a private sound server's null sink, whose monitor is recorded (the listening bench's
machinery: tools/room_sound.py, tools/virtual_room.py). The bench is the keyboard: an RTP-MIDI
player (tests/e2e/rtp_midi_peer.py's Peer, in this process, from an address of its own on the
room's bridge) invites the server and plays, over and over, a chord of three keys held across
several slices and a run of single notes of 100 to 300 ms, SEED drawing every length. The server
gives each key a client of its own: a chord's keys go one to each, a run's to the first client free.
With --link each client sits on a host of its own behind a link of the profile (the listening
bench's links: tests/e2e/link_relay.py), seeded by SEED; the keyboard stays on the bridge.

Every note-on and note-off's moment is the monotonic time it was handed to the socket; the recording
is placed on the same clock by the earliest arrival of its blocks, so the recording tells, for each
kind of client:

- note-on to the tone heard: a client that keeps the room's clock places it a live lead ahead;
  the older one plays it as it comes. The datagrams the bridge hands to the clients' hosts (the
  links' front hosts, before the link's delay) split it: the note-on to the first slice's moment
  on the server's clock (the server's part), and that moment to the onset (the client's, the
  link's and the sound server's).
- chord spread: between the onsets of a chord's keys on the two clients of live playing.
- note-off to the tone's end: a client of live playing is told the end, a live lead after the
  note-off; the older one sounds its last slice out, so up to one slice (200 ms) on, after its own
  sound path's delay.
- held notes heard in one piece: the slices of a held key join into one tone.

    make bench-live SOUND=desktop BUSY=1 SEED=2 LEAD=40
    make bench-live LINK=wired
"""
import argparse
import io
import os
import random
import signal
import struct
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(REPO, "tools"), os.path.join(REPO, "tests", "e2e")]
import concert_listening as concert  # noqa: E402
import demo  # noqa: E402
import listening  # noqa: E402
import room_sound as sound  # noqa: E402
from link_relay import PROFILES  # noqa: E402
from rtp_midi_peer import Peer  # noqa: E402
from virtual_room import BRIDGE, NotPrivateNetwork, VirtualRoom  # noqa: E402

RTP_MIDI_PORT = 5004
DEFAULT_LIVE_LEAD_MS = 20
LIVE_SLICE_MS = 200
MSG_LIVE_SLICE = 12
# The players: their sink's name and their options, in the order the server gives them a chord's keys.
PLAYERS = (("v4a", []), ("v4b", []), ("older", ["--protocol", "1"]))
LIVE = ("v4a", "v4b")
# The keys played, each next one 7 semitones on within the range: a key comes back only after
# KEY_RANGE notes, so every tone heard on a channel is of one note only.
LOWEST_KEY = 55
KEY_RANGE = 36
CHORD_KEYS = 3
CHORD_HOLD_MS = (300, 900)    # across one to five slices
RUN_NOTES = 4
RUN_NOTE_MS = (100, 300)
RUN_REST_MS = (40, 120)       # a shorter silence between two tones of one channel would merge them
# After a chord's note-off: the older client is free once its last slice has ended.
AFTER_CHORD_MS = LIVE_SLICE_MS + 150
AFTER_RUN_MS = 300
# A real player exchanges clocks now and then: the server ends a session that is silent for 60 s.
CLOCK_EVERY_SECONDS = 10
SETTLE_SECONDS = 2
# A tone heard this long before its note-on, or more than a slice after, is not that note's.
EARLY_MS = 2
# A client whose last tone ended this long before a tone's moment was quiet: only silence is queued.
QUIET_MS = 150
# The pieces of a note's tone: those of its key begun before its note-off plus a slice, the lead and
# the sound server's delay.
PIECES_AFTER_OFF_MS = 2 * LIVE_SLICE_MS
ON_TARGET_MARGIN_MS = 1
CHORD_TARGET_MS = 1
OFF_TARGET_MS = 1             # a client of live playing's end beyond the live lead


def play_keyboard(peer, rounds, seed):
    """Plays the rounds, each a chord and a run; the notes played as dicts of key, the moments of
    their note-on and note-off on time.monotonic() and the chord they belong to (None in a run)."""
    chosen = random.Random(seed)
    notes, keys, clocked = [], iter(range(10 ** 6)), time.monotonic()

    def next_key():
        return LOWEST_KEY + next(keys) * 7 % KEY_RANGE

    def press(chord_keys, hold_ms, chord):
        on = time.monotonic()
        peer.notes(chord_keys, 100)
        peer.collect(hold_ms / 1000)
        off = time.monotonic()
        peer.notes(chord_keys, 0)
        notes.extend({"key": key, "on": on, "off": off, "chord": chord} for key in chord_keys)

    for round_index in range(rounds):
        if time.monotonic() - clocked > CLOCK_EVERY_SECONDS:
            peer.clock()
            clocked = time.monotonic()
        press([next_key() for _ in range(CHORD_KEYS)], chosen.uniform(*CHORD_HOLD_MS), round_index)
        peer.collect(AFTER_CHORD_MS / 1000)
        for _ in range(RUN_NOTES):
            press([next_key()], chosen.uniform(*RUN_NOTE_MS), None)
            peer.collect(chosen.uniform(*RUN_REST_MS) / 1000)
        peer.collect(AFTER_RUN_MS / 1000)
    return notes


def playing_seconds(rounds):
    """The longest the keyboard plays, its settling before and after included."""
    round_ms = CHORD_HOLD_MS[1] + AFTER_CHORD_MS + RUN_NOTES * (RUN_NOTE_MS[1] + RUN_REST_MS[1]) + AFTER_RUN_MS
    return rounds * round_ms / 1000 + 2 * SETTLE_SECONDS


def perform(options, folder):
    """The room played live: (the notes played, the tones each player was heard to play as (onset,
    end, key) on the monotonic clock, the datagrams the bridge handed its host (its link's front
    host), how late each link's relay sent each datagram in ms, the faults found)."""
    names = [name for name, _ in PLAYERS]
    shown = io.StringIO()
    console = demo.Console(shown)
    tonecast = os.path.abspath(options.tonecast)
    server = listening.sound_server(options.sound, folder, names, [])
    players, faults, notes = [], [], []
    fronts = [(1 + index, None) for index in range(len(PLAYERS))]
    with server, VirtualRoom(1 + len(PLAYERS)) as room, \
            listening.links(room, options, fronts, folder, playing_seconds(options.rounds)) as (hosts, relay_late), \
            room.capture() as capture:
        # The keyboard joins the room's bridge as one more PC of the private network.
        subprocess.run(["ip", "addr", "add", concert.BENCH_ADDRESS + "/24", "dev", BRIDGE], check=True)
        with server.record() as recording:
            try:
                players.append(demo.Player(
                    "server", room, demo.SERVER_HOST,
                    [tonecast, "--live", "--rtp-midi", str(RTP_MIDI_PORT), "--live-lead", str(options.lead)], console))
                if not players[0].wait_for("SV: Binded to port 27000", demo.READY_SECONDS):
                    raise RuntimeError("the server did not get ready to play")
                for index, (name, client_options) in enumerate(PLAYERS):
                    players.append(demo.Player(name, room, hosts[index], [tonecast, "-c", *client_options],
                                               console, server.player_env(name)))
                    if not players[-1].wait_for("Connected! Got id: %d" % index, demo.READY_SECONDS):
                        raise RuntimeError("%s did not connect as client %d" % (name, index))
                peer = Peer(VirtualRoom.address(demo.SERVER_HOST), RTP_MIDI_PORT)
                peer.invite()
                peer.clock()
                if peer.failures:
                    raise RuntimeError("the RTP-MIDI session: " + "; ".join(peer.failures))
                peer.collect(SETTLE_SECONDS)
                notes = play_keyboard(peer, options.rounds, options.seed)
                peer.bye()
                peer.collect(SETTLE_SECONDS)
                players[0].process.send_signal(signal.SIGINT)
                if players[0].finish(time.monotonic() + demo.READY_SECONDS) != 0:
                    faults.append("the server did not end with status 0")
            except (RuntimeError, OSError) as error:
                faults.append(str(error))
            finally:
                for player in players:
                    player.stop()
            time.sleep(demo.RECORDED_TAIL_SECONDS)
    if faults:
        print(shown.getvalue())
    tones, handed = concert.heard_and_handed(recording, capture, names)
    return notes, tones, handed, relay_late, faults


def first_slice_moment(datagrams, key, after):
    """The moment on the server's clock, as time.monotonic(), of the first timed slice of the key
    handed to the host after the note-on (a live slice to a client of live playing); None when there
    is none."""
    slice_kinds = (struct.pack("<h", concert.MSG_TIMED_NOTE), struct.pack("<h", MSG_LIVE_SLICE))
    for given in datagrams:
        if given.time > after and given.payload[:2] in slice_kinds and \
                struct.unpack("<h", given.payload[2:4])[0] == key:
            return concert.server_moment(struct.unpack("<I", given.payload[6:10])[0], given.time)
    return None


def heard_notes(notes, tones, handed):
    """Each note played, as heard: the player that sounded it, its onset, its end, its pieces and its
    first slice's moment (timed players). Notes no player was heard to sound are left out."""
    heard, ends = [], {}
    for note in sorted(notes, key=lambda note: note["on"]):
        for name, channel in tones.items():
            pieces = [tone for tone in channel if tone[2] == note["key"] and note["on"] - EARLY_MS / 1000 < tone[0]
                      < note["off"] + PIECES_AFTER_OFF_MS / 1000]
            if pieces:
                heard.append(dict(note, player=name, onset=pieces[0][0], end=pieces[-1][1], pieces=len(pieces),
                                  moment=first_slice_moment(handed[name], note["key"], note["on"]),
                                  after=ends.get(name)))
                ends[name] = pieces[-1][1]
                break
    return heard


def quiet(note):
    """Whether the player had sounded nothing for a while before the note's first slice."""
    return note["after"] is None or (note["moment"] - note["after"]) * 1000 > QUIET_MS


def note_figures(heard):
    """The figures of each kind of player (LIVE, and the older one), by name."""
    result = {}
    for kind, members in (("live", LIVE), ("older", [PLAYERS[-1][0]])):
        mine = [note for note in heard if note["player"] in members]
        timed = [note for note in mine if note["moment"] is not None]
        result[kind] = {
            "on": [(note["onset"] - note["on"]) * 1000 for note in mine],
            "server": [(note["moment"] - note["on"]) * 1000 for note in timed],
            "client": [(note["onset"] - note["moment"]) * 1000 for note in timed],
            "quiet": [(note["onset"] - note["moment"]) * 1000 for note in timed if quiet(note)],
            "busy": [(note["onset"] - note["moment"]) * 1000 for note in timed if not quiet(note)],
            "off": [(note["end"] - note["off"]) * 1000 for note in mine],
            "whole": (sum(note["pieces"] == 1 for note in mine), len(mine)),
            "held": (sum(note["pieces"] == 1 for note in mine if (note["off"] - note["on"]) * 1000 > LIVE_SLICE_MS),
                     sum((note["off"] - note["on"]) * 1000 > LIVE_SLICE_MS for note in mine))}
    chords = {}
    for note in heard:
        if note["chord"] is not None and note["player"] in LIVE:
            chords.setdefault(note["chord"], []).append(note["onset"])
    result["spread"] = [(max(onsets) - min(onsets)) * 1000 for onsets in chords.values() if len(onsets) > 1]
    return result


def print_figures(options, notes, heard, relay_late, lead_ms):
    figures = note_figures(heard)
    live, older = figures["live"], figures["older"]
    p99 = lambda values: listening.percentile(values, 99)  # noqa: E731
    on_met = bool(live["on"]) and p99(live["on"]) <= lead_ms + ON_TARGET_MARGIN_MS
    spread_met = bool(figures["spread"]) and p99(figures["spread"]) <= CHORD_TARGET_MS
    # The older client sounds everything its own sound path's delay after it comes, the last slice's
    # end too: within a slice of the note-off is counted from that delay (its note-on to heard, p50).
    older_limit = LIVE_SLICE_MS + (listening.percentile(older["on"], 50) if older["on"] else 0)
    off_met = bool(live["off"]) and p99(live["off"]) <= lead_ms + OFF_TARGET_MS and bool(older["off"]) and \
        p99(older["off"]) <= older_limit
    counted = {name: sum(note["player"] == name for note in heard) for name, _ in PLAYERS}
    print("live listening: %d rounds of a %d-key chord and a run of %d, %d notes played, %d heard (%s), 2 clients "
          "of live playing and 1 older client, link %s, sound server %s, %s (load average %.1f), live lead %d ms, "
          "seed %d; ms after the note-on or note-off was handed to the RTP-MIDI socket"
          % (options.rounds, CHORD_KEYS, RUN_NOTES, len(notes), len(heard),
             ", ".join("%s %d" % item for item in counted.items()), options.link, options.sound,
             "busy" if options.busy else "not busy", os.getloadavg()[0], lead_ms, options.seed))
    line = "%-46s %-38s %-38s %s"
    print(line % ("figure, min / p50 / p99 / max (count)", "clients of live playing", "older client", "target"))
    rows = [
        ("note-on to the tone heard", concert.spread(live["on"]), concert.spread(older["on"]),
         "live p99 <= %d ms %s" % (lead_ms + ON_TARGET_MARGIN_MS, "met" if on_met else "NOT met")),
        ("  of it: the note-on to the first slice's moment", concert.spread(live["server"]), "", ""),
        ("  of it: that moment to the onset", concert.spread(live["client"]), "", ""),
        ("    on a client quiet for %d ms" % QUIET_MS, concert.spread(live["quiet"]), "", ""),
        ("    on a client whose tone had just ended", concert.spread(live["busy"]), "", ""),
        ("chord spread", concert.spread(figures["spread"]), "",
         "p99 <= %d ms %s" % (CHORD_TARGET_MS, "met" if spread_met else "NOT met")),
        ("note-off to the tone's end", concert.spread(live["off"]), concert.spread(older["off"]),
         "live p99 <= %d ms, older <= %.0f ms %s" % (lead_ms + OFF_TARGET_MS, older_limit,
                                                    "met" if off_met else "NOT met")),
        ("notes heard in one piece", "%d of %d" % live["whole"], "%d of %d" % older["whole"], ""),
        ("  of them held over a slice", "%d of %d" % live["held"], "%d of %d" % older["held"], "")]
    if options.link != "none":
        rows.append(("link relays: sent after the due time", concert.spread(relay_late), "", ""))
    for row in rows:
        print(line % row)
    print("live listening: the server's part counts the datagrams the bridge hands to %s"
          % ("the clients' hosts" if options.link == "none" else "the links' front hosts, before the link's delay"))
    print("live listening: %d of 3 targets met" % (on_met + spread_met + off_met))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tonecast", default="build/src/tonecast")
    parser.add_argument("--sound", choices=[*sound.PROFILES, "pipewire"], default=sound.DEFAULT_PROFILE,
                        help="the sound server the room plays into")
    parser.add_argument("--busy", action="store_true", help="a processor hog on every core throughout")
    parser.add_argument("--lead", type=int, default=DEFAULT_LIVE_LEAD_MS, metavar="MS", help="the server's --live-lead")
    parser.add_argument("--link", choices=["none", *PROFILES], default="none",
                        help="the link between each client and the room")
    parser.add_argument("--rounds", type=int, default=20, help="how many chords, each with a run after it")
    parser.add_argument("--seed", type=int, default=1, help="seeds how long each note is held and the links' delays")
    options = parser.parse_args()
    if not os.access(options.tonecast, os.X_OK) or not 1 <= options.rounds <= 1000:
        print("live listening: no tonecast program at %s, or ROUNDS not 1 to 1000" % options.tonecast,
              file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="tonecast-live-") as folder, \
            listening.processor_hogs(os.cpu_count() if options.busy else 0):
        try:
            notes, tones, handed, relay_late, faults = perform(options, folder)
        except NotPrivateNetwork as error:
            print("live listening: %s" % error, file=sys.stderr)
            return 2
    if faults:
        print("live listening: FAILED: %s" % "; ".join(faults))
        return 1
    print_figures(options, notes, heard_notes(notes, tones, handed), relay_late, options.lead)
    return 0


if __name__ == "__main__":
    sys.exit(main())
