#!/usr/bin/env python3
"""Plays a song across a virtual room on this one machine: a server started with -w, N clients and
the activate sender, each on a host of its own, every line they print shown with a prefix
("server | ", "c0 | ", ..., "activate | ") as it comes. Ends with a one-line summary and status 0
only when every process ended with status 0 and every client heard the server's good-bye.

With --record DIR the clients play into a private PulseAudio server, one channel each, and the
demo writes DIR/room.wav (what the room sounded like) and DIR/room.png (a piano roll: the song's
notes as bars, each heard tone on top in its client's colour); its last line names both files.

Runs only inside the private network of tests/e2e/netns_run.sh, as `make demo` does:

    tests/e2e/netns_run.sh python3 tools/demo.py --tonecast build/src/tonecast \
        --song songs/frere_jacques.mid --clients 4 --record demo

Python standard library only, but for --record: tools/room_sound.py (Debian's pulseaudio,
pulseaudio-utils, libasound2-plugins, python3-numpy, python3-matplotlib).
"""
import argparse
import math
import os
import shlex
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tempo_map import tick_time  # noqa: E402
from virtual_room import NotPrivateNetwork, VirtualRoom  # noqa: E402

MAX_CLIENTS = 32
READY_SECONDS = 10         # for the server to bind, for each client to get its id
ACTIVATE_SECONDS = 10
END_MARGIN_SECONDS = 20    # beyond the song's own length, for the clients' last tones and good-byes
UNKNOWN_LENGTH_SECONDS = 60  # a file the length scan cannot read; the server refuses it at once anyway
SERVER_HOST = 0
MSG_ACTIVATE = 0xFE
RECORDED_TAIL_SECONDS = 0.5  # recorded after the last process ended, for the last tone's end


def _number(data, pos, size):
    if pos + size > len(data):
        raise ValueError("the file ends inside a number")
    return int.from_bytes(data[pos:pos + size], "big")


def _variable_length(data, pos):
    value = 0
    for _ in range(4):
        byte = _number(data, pos, 1)
        pos += 1
        value = (value << 7) | (byte & 0x7F)
        if byte < 0x80:
            return value, pos
    raise ValueError("a variable-length number longer than four bytes")


def _scan_track(body, tempos):
    """The tick of the track's last event; its tempo changes are added to tempos as (tick, us)."""
    pos, tick, status = 0, 0, 0
    while pos < len(body):
        delta, pos = _variable_length(body, pos)
        tick += delta
        if _number(body, pos, 1) & 0x80:
            status = body[pos]
            pos += 1
        if status == 0xFF:
            kind = _number(body, pos, 1)
            length, pos = _variable_length(body, pos + 1)
            if kind == 0x51 and length == 3:
                tempos.append((tick, _number(body, pos, 3)))
            pos += length
        elif status in (0xF0, 0xF7):
            length, pos = _variable_length(body, pos)
            pos += length
        elif status >= 0x80:
            pos += 1 if 0xC0 <= status < 0xE0 else 2
        else:
            raise ValueError("a data byte without a status")
    return tick


def song_seconds(path):
    """How long a Standard MIDI File plays, from its last event and its tempo changes; None when the
    file cannot be read that far. Only sets the demo's time limit, so an estimate is enough."""
    try:
        with open(path, "rb") as song:
            data = song.read()
        if data[:4] != b"MThd":
            return None
        division = _number(data, 12, 2)
        if division == 0 or division & 0x8000:
            return None
        pos, tempos, end = 8 + _number(data, 4, 4), [], 0
        while pos + 8 <= len(data):
            length = _number(data, pos + 4, 4)
            if data[pos:pos + 4] == b"MTrk":
                end = max(end, _scan_track(data[pos + 8:pos + 8 + length], tempos))
            pos += 8 + length
    except (OSError, ValueError):
        return None
    return tick_time(end, sorted(tempos, key=lambda item: item[0]), division) / 1e6


class Console:
    """Prints the processes' lines with their prefixes, one whole line at a time."""

    def __init__(self, out):
        self._out = out
        self._lock = threading.Lock()

    def say(self, prefix, line):
        with self._lock:
            self._out.write("%s | %s\n" % (prefix, line))
            self._out.flush()


class Player:
    """One process of the demo on its host: its lines are shown and kept as they come."""

    def __init__(self, name, room, host, argv, console, env=None):
        self.name = name
        self.lines = []
        self._changed = threading.Condition()
        # Standard error shares standard output's pipe: lines come in the order the process wrote
        # them, which two pipes read by two threads would not keep.
        self.process = room.start(host, argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  text=True, errors="replace", env=env)
        self._reader = threading.Thread(target=self._read, args=(self.process.stdout, console), daemon=True)
        self._reader.start()

    def _read(self, stream, console):
        for line in stream:
            line = line.rstrip("\n")
            console.say(self.name, line)
            with self._changed:
                self.lines.append(line)
                self._changed.notify_all()

    def wait_for(self, line, seconds):
        """True once the process printed the line; False when it ended or the time ran out first."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            with self._changed:
                if line in self.lines:
                    return True
                self._changed.wait(0.1)
            if self.process.poll() is not None:
                # An ended process may still have lines in its pipe.
                self._reader.join(1)
                break
        with self._changed:
            return line in self.lines

    def finish(self, deadline):
        """Waits until the deadline for the end, killing the process then; the exit status, or None
        when it had to be killed."""
        try:
            self.process.wait(max(0.0, deadline - time.monotonic()))
            status = self.process.returncode
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            status = None
        self._reader.join(5)
        return status

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def check_arguments(options):
    """The reason the demo cannot run with these arguments, or None."""
    try:
        clients = int(options.clients)
    except ValueError:
        clients = 0
    if not 1 <= clients <= MAX_CLIENTS:
        return "CLIENTS must be a whole number from 1 to %d, not %r" % (MAX_CLIENTS, options.clients)
    if not os.path.isfile(options.song):
        return "no song file %s (SONG=path of a .mid file)" % options.song
    for command in role_commands(options):
        if not os.access(command[0], os.X_OK):
            return "no tonecast program at %s (make build makes it)" % command[0]
    return None


def role_commands(options):
    """The commands that run the server and the clients (the activate sender too): --tonecast
    unless a command of its own is given for the role, such as a Windows build under Wine."""
    def command(given):
        return shlex.split(given) if given else [os.path.abspath(options.tonecast)]
    return command(options.tonecast_server), command(options.tonecast_client)


def perform(room, options, clients, console, client_env=lambda index: None, client_host=lambda index: 1 + index,
            server_options=(), client_options=(), before_activate=lambda: []):
    """Runs the whole performance; returns the list of faults found (empty when all went well).
    client_env(index): the environment of client index, None for the demo's own; client_host(index):
    its host, 1 + index unless it sits behind a link; the options are added to the server's and the
    clients' (not the activate sender's) command lines. before_activate(): called once the clients
    have their ids, for other players to join; its faults, if any, end the performance."""
    server_command, client_command = role_commands(options)
    song = os.path.abspath(options.song)
    seconds = song_seconds(song)
    limit = (UNKNOWN_LENGTH_SECONDS if seconds is None else seconds) + END_MARGIN_SECONDS
    server_host, activator_host = 0, clients + 1
    players = []
    try:
        server = Player("server", room, server_host, [*server_command, "-s", song, "-w", *server_options], console)
        players.append(server)
        if not server.wait_for("SV: Binded to port 27000", READY_SECONDS):
            return ["the server did not get ready to play"]
        # One client at a time, so that client cN is given id N.
        for index in range(clients):
            client = Player("c%d" % index, room, client_host(index), [*client_command, "-c", *client_options],
                            console, client_env(index))
            players.append(client)
            if not client.wait_for("Connected! Got id: %d" % index, READY_SECONDS):
                return ["c%d did not connect as client %d" % (index, index)]
        faults = before_activate()
        if faults:
            return faults
        activator = Player("activate", room, activator_host, [*client_command, "-a"], console)
        players.append(activator)
        if activator.finish(time.monotonic() + ACTIVATE_SECONDS) != 0:
            return ["the activate sender did not end with status 0"]
        deadline = time.monotonic() + limit
        faults = []
        for player in players[:-1]:
            status = player.finish(deadline)
            if status is None:
                faults.append("%s was still running after %.0f s and was stopped" % (player.name, limit))
            elif status != 0:
                faults.append("%s ended with status %d" % (player.name, status))
            ending = ["Server quit.", "Quit."] if player is not server else ["Quit."]
            if player.lines[-len(ending):] != ending:
                faults.append("%s did not end with %s" % (player.name, " and ".join(ending)))
        return faults
    finally:
        for player in players:
            player.stop()


def activate_time(capture, deadline):
    """When the activate reached the server's host, on time.monotonic() in whole milliseconds as
    the server counts its song's time from it; None if none came before the deadline. The kernel's
    time stamp of the datagram: neither the server's printing nor this script's scheduling moves it."""
    while True:
        for datagram in capture.datagrams(SERVER_HOST):
            if datagram.payload[:1] == bytes([MSG_ACTIVATE]) and datagram.time is not None:
                return math.floor(datagram.time * 1000) / 1000
        if time.monotonic() >= deadline:
            return None
        time.sleep(0.0005)


def perform_recorded(room, options, clients, console):
    """The performance with each client playing into its own channel of a private sound server;
    writes the room's WAV and piano roll into options.record. Returns (faults, files written)."""
    import room_sound  # Debian's numpy and PulseAudio, needed for a recorded demo only
    names = ["c%d" % index for index in range(clients)]
    with tempfile.TemporaryDirectory(prefix="tonecast-demo-") as folder, \
            room_sound.SoundServer(folder, names) as sink, room.capture() as capture:
        with sink.record() as recording:
            faults = perform(room, options, clients, console, lambda index: sink.player_env(names[index]))
            time.sleep(RECORDED_TAIL_SECONDS)
    origin = activate_time(capture, time.monotonic())
    if faults or origin is None:
        return faults or ["no activate reached the server"], []
    os.makedirs(options.record, exist_ok=True)
    wav, png = os.path.join(options.record, "room.wav"), os.path.join(options.record, "room.png")
    room_sound.write_wav(recording, wav)
    room_sound.draw_piano_roll(recording, origin, room_sound.song_notes(options.song), names,
                               "%s, %d clients" % (os.path.basename(options.song), clients), png)
    return [], [wav, png]


def main():
    parser = argparse.ArgumentParser(description="Plays a song across a private virtual room of tonecast hosts.")
    parser.add_argument("--tonecast", default="build/src/tonecast", help="the program to run")
    parser.add_argument("--tonecast-server", help="the command that runs the server instead")
    parser.add_argument("--tonecast-client", help="the command that runs the clients and the activate sender instead")
    parser.add_argument("--song", default="songs/frere_jacques.mid", help="the MIDI file to play")
    parser.add_argument("--clients", default="4", help="how many clients play it, 1 to %d" % MAX_CLIENTS)
    parser.add_argument("--record", metavar="DIR", help="record the room into DIR/room.wav and DIR/room.png")
    options = parser.parse_args()
    problem = check_arguments(options)
    if problem:
        print("demo: " + problem, file=sys.stderr)
        return 2
    clients = int(options.clients)
    console = Console(sys.stdout)
    started = time.monotonic()
    try:
        with VirtualRoom(clients + 2) as room:
            if options.record:
                faults, files = perform_recorded(room, options, clients, console)
            else:
                faults, files = perform(room, options, clients, console), []
    except NotPrivateNetwork as error:
        print("demo: %s" % error, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        # Every process was stopped and the room taken down on the way out.
        print("demo: stopped")
        return 130
    elapsed = time.monotonic() - started
    if faults:
        print("demo: FAILED after %.1f s: %s" % (elapsed, "; ".join(faults)))
        return 1
    print("demo: %s played by %d client%s in %.1f s; every process ended with status 0"
          % (options.song, clients, "" if clients == 1 else "s", elapsed))
    if files:
        print("demo: what the room sounded like: %s; its piano roll: %s" % tuple(files))
    return 0


if __name__ == "__main__":
    sys.exit(main())
