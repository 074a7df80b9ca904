#!/usr/bin/env python3
"""How fast the room obeys its conductor, as a listener hears it: a server (-w --web, a conductor's
key), two clients that keep the room's clock and one older client (--protocol 1) play as hosts of
the virtual room into their own channels of a private sound server's null sink, whose monitor is
recorded (the listening bench's machinery: tools/room_sound.py, tools/virtual_room.py). The bench is
the conductor: it opens the conductor's WebSocket as the page does (the page's own Origin), from an
address of its own on the room's bridge, starts the song and then, over and over, pauses it in the
middle of a chord, resumes it, and seeks, in the middle of a later chord, to the start of another.
Every command's moment is the monotonic time it was handed to the socket; the recording is placed
on the same clock by the earliest arrival of its blocks, so the recording tells:

- pause to silence: from the pause to the end of the tone each client was sounding. A client that
  keeps the room's clock is told to be silent (MSG_SILENCE); the older client finishes its tone.
- seek to the first note: from the seek to the first tone heard of the chord sought, which the
  server gives a lead after the command.

The datagrams the bridge hands to the clients' hosts split each figure in two: the server's part
(the command to the silence datagram, or to the first note's moment on the server's clock) and the
client's and sound server's part (from there to what is heard). The song's chords are long (600 ms)
and each pause or seek comes 150 to 350 ms into one, so a tone that stops early was stopped.

    make bench-concert SOUND=desktop BUSY=1 PAUSES=40
"""
import argparse
import io
import json
import os
import random
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(REPO, "tools"), os.path.join(REPO, "tests", "e2e")]
import demo  # noqa: E402
import listening  # noqa: E402
import room_sound as sound  # noqa: E402
from midi_bytes import song, track  # noqa: E402
from virtual_room import BRIDGE, NotPrivateNetwork, VirtualRoom  # noqa: E402

KEY = "concert-bench-key-0123456789"
WEB_PORT = 27080
# The bench's own address on the room's bridge, far above the hosts' (198.18.1.10 on).
BENCH_ADDRESS = "198.18.1.250"
# The players: their sink's name and their options. The older client plays as clients before the
# room's clock did; the others are of this version, which takes the concert's silences.
PLAYERS = (("t0", []), ("t1", []), ("older", ["--protocol", "1"]))
TIMED = ("t0", "t1")
MSG_SILENCE = 10
MSG_TIMED_NOTE = 6
# The song: CHORDS chords of three notes, one a voice, each NOTE_MS long and CHORD_MS apart; voice v
# of chord i plays key BASE_KEYS[v] + i % KEY_CYCLE, so chords KEY_CYCLE apart share their keys.
CHORDS = 40
CHORD_MS = 700
NOTE_MS = 600
FIRST_CHORD_MS = 100
BASE_KEYS = (48, 68, 88)
KEY_CYCLE = 20
DIVISION, TEMPO = 512, 512000  # one tick is one millisecond
# Where in a chord a pause or seek comes, in ms after its start: the tones have 230 ms or more left.
INTO_CHORD_MS = (150, 350)
PAUSE_HOLD_SECONDS = 0.5
SEEK_HOLD_SECONDS = 0.3        # after the first note sought is due
STATE_WAIT_SECONDS = 5
SOON_SECONDS = 0.05            # a chord closer than this is too close to be steered in
# A state that tells a seek puts the song within this of where the seek put it.
SEEK_SEEN_MS = 100
# The chords from the one sought that count as the new position.
NEAR_CHORDS = 3
# After the last seek, for the older client's first note at the new position.
LAST_HOLD_SECONDS = 1.5
# A tone begun this long after a command began after it, not with the tone it cuts.
AFTER_MS = 2
GIVEN_TONE_MS = NOTE_MS - 20  # the server gives each tone 20 ms less than its note
WHOLE_TONE_MS = GIVEN_TONE_MS - 5
PAUSE_TARGET_MS = 20
SEEK_TARGET_MARGIN_MS = 5


def chord_keys(chord):
    return [base + chord % KEY_CYCLE for base in BASE_KEYS]


def chord_start(chord):
    return FIRST_CHORD_MS + chord * CHORD_MS


def song_file(path):
    """Writes the bench's song: a tempo track, then one track per voice."""
    def track_of(events):
        events.sort(key=lambda item: item[0])
        ticks = [tick for tick, _ in events]
        return track([(tick - before, data) for (tick, data), before in zip(events, [0] + ticks)])
    tracks = [track_of([(0, b"\xff\x51\x03" + TEMPO.to_bytes(3, "big"))])]
    for voice in range(len(BASE_KEYS)):
        events = []
        for chord in range(CHORDS):
            key = chord_keys(chord)[voice]
            events += [(chord_start(chord), bytes([0x90 | voice, key, 100])),
                       (chord_start(chord) + NOTE_MS, bytes([0x80 | voice, key, 0]))]
        tracks.append(track_of(events))
    with open(path, "wb") as out:
        out.write(song(1, DIVISION, tracks))


def server_moment(micros, near):
    """The moment on time.monotonic() of the server's 32-bit microseconds, the one nearest to near."""
    now = round(near * 1e6)
    return (now + (micros - now + 2 ** 31) % 2 ** 32 - 2 ** 31) / 1e6


class ConductorSocket:
    """The conductor's page as far as the room sees it: its WebSocket, opened as a browser opens it,
    its pings answered; every state the room tells it is kept with its moment on the monotonic clock."""

    def __init__(self, address, key):
        deadline = time.monotonic() + demo.READY_SECONDS
        while True:
            try:
                self._socket = socket.create_connection(address, timeout=demo.READY_SECONDS)
                break
            except ConnectionRefusedError:
                # The web port opens just after the server has said it bound its own.
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        # As a browser's: a command is not held back until the one before it is acknowledged.
        self._socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        place = "%s:%d" % address
        self._socket.sendall(("GET /conductor/%s/socket HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\n"
                              "Connection: Upgrade\r\nSec-WebSocket-Key: dG9uZWNhc3QgYmVuY2gga2V5\r\n"
                              "Sec-WebSocket-Version: 13\r\nOrigin: http://%s\r\n\r\n" % (key, place, place)).encode())
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            head += self._socket.recv(1)
        if not head.startswith(b"HTTP/1.1 101 "):
            raise ConnectionRefusedError(head.decode(errors="replace"))
        self._socket.settimeout(None)
        self._sending = threading.Lock()
        self._told = threading.Condition()
        self.states = []  # (moment of the state's "at", the state)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def send(self, command):
        """Sends a command; returns the moment it was handed to the socket, on time.monotonic()."""
        data, mask = json.dumps(command).encode(), os.urandom(4)
        frame = bytes([0x81, 0x80 | len(data)]) + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data))
        with self._sending:
            sent = time.monotonic()
            self._socket.sendall(frame)
        return sent

    def _exactly(self, count):
        data = b""
        while len(data) < count:
            more = self._socket.recv(count - len(data))
            if not more:
                raise EOFError
            data += more
        return data

    def _message(self):
        """The next whole message's opcode and bytes; a long one may come in fragments."""
        opcode, data = None, b""
        while True:
            first, length = self._exactly(2)
            if length == 126:
                length = struct.unpack(">H", self._exactly(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", self._exactly(8))[0]
            opcode = first & 0x0F if opcode is None else opcode
            data += self._exactly(length)
            if first & 0x80:
                return opcode, data

    def _read(self):
        try:
            while True:
                opcode, data = self._message()
                if opcode == 8:
                    break
                message = json.loads(data) if opcode == 1 else {}
                if "ping" in message:
                    self.send({"pong": message["ping"]})
                elif "state" in message:
                    state = message["state"]
                    with self._told:
                        self.states.append((server_moment(state["at"], time.monotonic()), state))
                        self._told.notify_all()
        except (EOFError, OSError):
            pass
        with self._told:
            self._told.notify_all()

    def state_when(self, wanted, after):
        """The first state told of a moment after the given one that is as wanted (a test of the
        state), as (its moment, the state); None when none came in time."""
        deadline = time.monotonic() + STATE_WAIT_SECONDS
        seen = 0
        with self._told:
            while True:
                for moment, state in self.states[seen:]:
                    if moment > after and wanted(state, moment):
                        return moment, state
                seen = len(self.states)
                if time.monotonic() > deadline or not self._reader.is_alive():
                    return None
                self._told.wait(deadline - time.monotonic())

    def close(self):
        self._socket.close()
        self._reader.join()


def chord_moment(told, chord):
    """When the song reaches the chord's start, by a state told while it plays."""
    moment, state = told
    return moment + (chord_start(chord) - state["position"]) * 100 / state["tempo"] / 1000


def next_chord(told):
    """The first chord that begins a moment from now or later, by a state told while the song plays."""
    soon = time.monotonic() + SOON_SECONDS
    return next((chord for chord in range(CHORDS) if chord_moment(told, chord) >= soon), None)


def sleep_until(moment):
    time.sleep(max(0.0, moment - time.monotonic()))


def steer(conductor, pauses, lead_ms, seed):
    """Starts the song and pauses, resumes and seeks it the number of times given: the commands'
    moments, as {"pauses": [moment], "seeks": [(moment, the chord sought)]}, and the faults found."""
    chosen = random.Random(seed)
    steps = {"pauses": [], "seeks": []}
    start = conductor.send({"cmd": "start"})
    told = conductor.state_when(lambda state, _: state["state"] == "playing", start)
    for _ in range(pauses):
        chord = next_chord(told) if told else None
        if chord is None or chord + 4 >= CHORDS:
            return steps, ["the song was not where the bench steered it"]
        sleep_until(chord_moment(told, chord) + chosen.uniform(*INTO_CHORD_MS) / 1000)
        paused = conductor.send({"cmd": "pause"})
        steps["pauses"].append(paused)
        if not conductor.state_when(lambda state, _: state["state"] == "paused", paused):
            return steps, ["the room did not pause"]
        sleep_until(paused + PAUSE_HOLD_SECONDS)
        resumed = conductor.send({"cmd": "resume"})
        told = conductor.state_when(lambda state, _: state["state"] == "playing", resumed)
        chord = next_chord(told) if told else None
        if chord is None or chord + 4 >= CHORDS:
            return steps, ["the room did not resume where it paused"]
        sleep_until(chord_moment(told, chord) + chosen.uniform(*INTO_CHORD_MS) / 1000)
        # A chord far from the one cut: none of the chords near either shares its keys with the other's.
        sought = chosen.choice([other for other in range(2, CHORDS - 8)
                                if (other - chord) % KEY_CYCLE not in (0, 1, 2, 3, 17, 18, 19)])
        sought_ms = chord_start(sought)
        sought_at = conductor.send({"cmd": "seek", "ms": sought_ms})
        steps["seeks"].append((sought_at, sought))
        told = conductor.state_when(
            lambda state, moment: state["state"] == "playing" and abs(
                state["position"] - (sought_ms - lead_ms + (moment - sought_at) * 1000)) < SEEK_SEEN_MS, sought_at)
        if not told:
            return steps, ["the room did not seek"]
        sleep_until(sought_at + lead_ms / 1000 + SEEK_HOLD_SECONDS)
    time.sleep(LAST_HOLD_SECONDS)
    return steps, []


def perform(options, folder, song_path):
    """One concert, steered: (the steps, the tones each player was heard to play as (onset, end, key)
    on the monotonic clock, the datagrams its host was handed, the faults found, the server's lead)."""
    lead_ms = options.lead if options.lead is not None else listening.DEFAULT_LEAD_MS
    names = [name for name, _ in PLAYERS]
    shown = io.StringIO()
    console = demo.Console(shown)
    tonecast = os.path.abspath(options.tonecast)
    server = listening.sound_server(options.sound, folder, names, [])
    players, faults, steps = [], [], {"pauses": [], "seeks": []}
    with server, VirtualRoom(1 + len(PLAYERS)) as room, room.capture() as capture:
        # The bench joins the room's bridge as one more PC of the private network, the conductor's.
        subprocess.run(["ip", "addr", "add", BENCH_ADDRESS + "/24", "dev", BRIDGE], check=True)
        with server.record() as recording:
            try:
                players.append(demo.Player(
                    "server", room, demo.SERVER_HOST,
                    [tonecast, "-s", song_path, "-w", "--web", "--conductor-key", KEY,
                     *(["--lead", str(options.lead)] if options.lead is not None else [])], console))
                if not players[0].wait_for("SV: Binded to port 27000", demo.READY_SECONDS):
                    raise RuntimeError("the server did not get ready to play")
                for index, (name, client_options) in enumerate(PLAYERS):
                    players.append(demo.Player(name, room, 1 + index, [tonecast, "-c", *client_options], console,
                                               server.player_env(name)))
                    if not players[-1].wait_for("Connected! Got id: %d" % index, demo.READY_SECONDS):
                        raise RuntimeError("%s did not connect as client %d" % (name, index))
                conductor = ConductorSocket((VirtualRoom.address(demo.SERVER_HOST), WEB_PORT), KEY)
                time.sleep(listening.ROOM_SETTLE_SECONDS)
                steps, faults = steer(conductor, options.pauses, lead_ms, options.seed)
                conductor.send({"cmd": "stop"})
                deadline = time.monotonic() + demo.END_MARGIN_SECONDS
                for player in players:
                    if player.finish(deadline) != 0:
                        faults.append("%s did not end with status 0" % player.name)
                conductor.close()
            except (RuntimeError, OSError) as error:
                faults.append(str(error))
            finally:
                for player in players:
                    player.stop()
            time.sleep(demo.RECORDED_TAIL_SECONDS)
    if faults:
        print(shown.getvalue())
    tones, handed = heard_and_handed(recording, capture, names)
    return steps, tones, handed, faults, lead_ms


def heard_and_handed(recording, capture, names):
    """By player (on hosts 1, 2, ... in the order of the names): the tones heard in its channel as
    (onset, end, key) on the monotonic clock, and the datagrams the server handed its host."""
    tones = {name: [(recording.monotonic(tone.onset), recording.monotonic(tone.onset + tone.frames),
                     sound.key_of(tone.frequency)[0])
                    for tone in sound.detect_tones(recording.samples[:, index], recording.rate)]
             for index, name in enumerate(names)}
    handed = {name: [d for d in capture.datagrams(1 + index) if d.source[1] == listening.SERVER_PORT]
              for index, name in enumerate(names)}
    return tones, handed


def first_handed(datagrams, kind, after):
    """The first datagram of the kind handed to the host after the moment."""
    return next((d for d in datagrams if d.time > after and struct.unpack("<h", d.payload[:2])[0] == kind), None)


def cut_tone(heard, moment):
    """The tone a command at the moment could cut: the last one begun before it that would still
    sound then; None when the player was not sounding. It may be heard to stop a little before the
    moment: the sink renders its blocks whole, after the time they stand for."""
    begun = [tone for tone in heard if tone[0] <= moment < tone[0] + GIVEN_TONE_MS / 1000]
    return begun[-1] if begun else None


def pause_figures(steps, tones, handed):
    """For each player: pause to silence in ms, the server's part and the client's (timed players),
    the tones heard whole (older), and tones begun while paused."""
    result = {}
    for name, heard in tones.items():
        figures = {"silence": [], "server": [], "client": [], "whole": 0, "begun": 0, "quiet": 0}
        for paused in steps["pauses"]:
            cut = cut_tone(heard, paused)
            if cut is None:
                figures["quiet"] += 1
                continue
            onset, end, _ = cut
            figures["silence"].append((end - paused) * 1000)
            figures["whole"] += (end - onset) * 1000 >= WHOLE_TONE_MS
            told = first_handed(handed[name], MSG_SILENCE, paused)
            if name in TIMED and told is not None:
                figures["server"].append((told.time - paused) * 1000)
                figures["client"].append((end - told.time) * 1000)
            figures["begun"] += sum(1 for tone in heard if paused + AFTER_MS / 1000 < tone[0] < paused
                                    + PAUSE_HOLD_SECONDS)
        result[name] = figures
    return result


def seek_figures(steps, tones, handed):
    """For each player: seek to the new position heard in ms, by the first tone begun after the seek,
    less how far its chord is from the one sought (an older client that finishes its tone joins at
    a later chord); the server's part (to the first timed note's moment, the lead in it) and the
    client's; the first tones of a later chord, of no chord near, none; the cut tone's silence."""
    result = {}
    for name, heard in tones.items():
        figures = {"first": [], "server": [], "client": [], "later": 0, "wrong": 0, "unheard": 0, "silence": []}
        for sought_at, sought in steps["seeks"]:
            cut = cut_tone(heard, sought_at)
            if cut:
                figures["silence"].append((cut[1] - sought_at) * 1000)
            after = [tone for tone in heard if tone[0] > sought_at + AFTER_MS / 1000]
            if not after:
                figures["unheard"] += 1
                continue
            onset, _, key = after[0]
            chord = next((near for near in range(sought, sought + NEAR_CHORDS) if key in chord_keys(near)), None)
            if chord is None:
                figures["wrong"] += 1
                continue
            figures["later"] += chord != sought
            figures["first"].append((onset - sought_at) * 1000 - (chord_start(chord) - chord_start(sought)))
            given = first_handed(handed[name], MSG_TIMED_NOTE, sought_at)
            if name in TIMED and given is not None:
                moment = server_moment(struct.unpack("<I", given.payload[6:10])[0], given.time)
                figures["server"].append((moment - sought_at) * 1000)
                figures["client"].append((onset - moment) * 1000)
        result[name] = figures
    return result


def moment_errors(tones, handed):
    """How far each timed tone was heard from its moment, in ms: what the client's clock and the
    recording's placing leave, for the bench to be trusted."""
    errors = []
    for name in TIMED:
        for given in handed[name]:
            if struct.unpack("<h", given.payload[:2])[0] != MSG_TIMED_NOTE:
                continue
            key = struct.unpack("<h", given.payload[2:4])[0]
            moment = server_moment(struct.unpack("<I", given.payload[6:10])[0], given.time)
            near = [tone[0] - moment for tone in tones[name]
                    if tone[2] == key and abs(tone[0] - moment) * 1000 < listening.MATCH_WINDOW_MS]
            if near:
                errors.append(min(near, key=abs) * 1000)
    return errors


def spread(values):
    """min / p50 / p99 / max of the values, and how many."""
    if not values:
        return "none"
    return "%s ms (%d)" % (listening.trio([listening.percentile(values, q) for q in (0, 50, 99, 100)]), len(values))


def print_figures(options, steps, tones, handed, lead_ms):
    pauses, seeks = pause_figures(steps, tones, handed), seek_figures(steps, tones, handed)
    timed = {key: [value for name in TIMED for value in pauses[name][key]] for key in ("silence", "server", "client")}
    sought = {key: [value for name in TIMED for value in seeks[name][key]]
              for key in ("first", "server", "client", "silence")}
    older = PLAYERS[-1][0]
    moments = moment_errors(tones, handed)
    seek_target = lead_ms + SEEK_TARGET_MARGIN_MS
    pause_met = bool(timed["silence"]) and listening.percentile(timed["silence"], 99) <= PAUSE_TARGET_MS
    seek_met = bool(sought["first"]) and listening.percentile(sought["first"], 99) <= seek_target and not any(
        seeks[name]["later"] + seeks[name]["wrong"] + seeks[name]["unheard"] for name in TIMED)
    print("concert listening: %d pauses and %d seeks, 2 clients keeping the room's clock and 1 older client, sound "
          "server %s, %s (load average %.1f), server lead %d ms, seed %d; ms after the command was handed to the "
          "conductor's socket" % (len(steps["pauses"]), len(steps["seeks"]), options.sound,
                                  "busy" if options.busy else "not busy", os.getloadavg()[0], lead_ms, options.seed))
    line = "%-50s %-38s %-38s %s"
    print(line % ("figure, min / p50 / p99 / max (count)", "clients keeping the clock", "older client", "target"))
    rows = [
        ("pause to silence", spread(timed["silence"]), spread(pauses[older]["silence"]),
         "p99 <= %d ms %s" % (PAUSE_TARGET_MS, "met" if pause_met else "NOT met")),
        ("  of it: the command to the silence datagram", spread(timed["server"]), "", ""),
        ("  of it: the silence datagram to silence heard", spread(timed["client"]), "", ""),
        ("  tones heard whole at a pause", "%d of %d" % (sum(pauses[n]["whole"] for n in TIMED), len(timed["silence"])),
         "%d of %d" % (pauses[older]["whole"], len(pauses[older]["silence"])), ""),
        ("  tones begun while paused", str(sum(pauses[n]["begun"] for n in TIMED)), str(pauses[older]["begun"]), ""),
        ("  players not sounding at a pause", str(sum(pauses[n]["quiet"] for n in TIMED)), str(pauses[older]["quiet"]),
         ""),
        ("seek to the new position heard", spread(sought["first"]), spread(seeks[older]["first"]),
         "p99 <= %d ms %s" % (seek_target, "met" if seek_met else "NOT met")),
        ("  of it: the command to the note's moment", spread(sought["server"]), "", ""),
        ("  of it: the note's moment to its onset", spread(sought["client"]), "", ""),
        ("  first tone of a later chord, of none near, none",
         "%d, %d, %d" % tuple(sum(seeks[n][key] for n in TIMED) for key in ("later", "wrong", "unheard")),
         "%d, %d, %d" % tuple(seeks[older][key] for key in ("later", "wrong", "unheard")), ""),
        ("seek to silence of the tone it cuts", spread(sought["silence"]), spread(seeks[older]["silence"]), ""),
        ("every timed tone against its moment", spread(moments), "", "")]
    for row in rows:
        print(line % row)
    print("concert listening: %d of 2 targets met" % (pause_met + seek_met))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tonecast", default="build/src/tonecast")
    parser.add_argument("--sound", choices=[*sound.PROFILES, "pipewire"], default=sound.DEFAULT_PROFILE,
                        help="the sound server the room plays into")
    parser.add_argument("--busy", action="store_true", help="a processor hog on every core throughout")
    parser.add_argument("--lead", type=int, metavar="MS", help="the server's --lead, when given")
    parser.add_argument("--pauses", type=int, default=40, help="how many times the song is paused, and sought")
    parser.add_argument("--seed", type=int, default=1, help="seeds where in a chord each command comes")
    options = parser.parse_args()
    if not os.access(options.tonecast, os.X_OK) or not 1 <= options.pauses <= 1000:
        print("concert listening: no tonecast program at %s, or PAUSES not 1 to 1000" % options.tonecast,
              file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="tonecast-concert-") as folder, \
            listening.processor_hogs(os.cpu_count() if options.busy else 0):
        song_path = os.path.join(folder, "chords.mid")
        song_file(song_path)
        try:
            steps, tones, handed, faults, lead_ms = perform(options, folder, song_path)
        except NotPrivateNetwork as error:
            print("concert listening: %s" % error, file=sys.stderr)
            return 2
    if faults:
        print("concert listening: FAILED: %s" % "; ".join(faults))
        return 1
    print_figures(options, steps, tones, handed, lead_ms)
    return 0


if __name__ == "__main__":
    sys.exit(main())
