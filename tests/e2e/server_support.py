"""Pieces of the server's end-to-end tests: songs written as MIDI bytes, processes watched while
they run, and fake clients. Import after e2e_support, which checks for the private network."""
import socket
import struct
import threading
import time

import e2e_support as e2e
from midi_bytes import song, track

MSG_ASSIGN_ID = 2
MSG_NOTE = 4
MSG_BYE = 5

# Division 512 and 512000 us per quarter note: one tick is one millisecond, and ticks divided by
# a power of two convert to milliseconds without rounding.
DIVISION = 512
TEMPO = 512000


def _track(events):
    """events: (tick, bytes) in any order; sorted stably by tick."""
    deltas, now = [], 0
    for tick, event in sorted(events, key=lambda item: item[0]):
        deltas.append((tick - now, event))
        now = tick
    return track(deltas)


def song_bytes(voices):
    """A format 1 file: a tempo track, then one track per voice of (start ms, length ms, key)."""
    tracks = [_track([(0, b"\xff\x51\x03" + TEMPO.to_bytes(3, "big"))])]
    for channel, voice in enumerate(voices):
        events = []
        for start, length, key in voice:
            # Note-off first: at equal ticks it ends the previous note before the next begins.
            events.append((start + length, bytes([0x80 | channel, key, 0])))
        events_on = [(start, bytes([0x90 | channel, key, 100])) for start, _, key in voice]
        tracks.append(_track(events + events_on))
    return song(1, DIVISION, tracks)


def write_song(path, voices):
    with open(path, "wb") as out:
        out.write(song_bytes(voices))
    return path


def loading_lines(voices):
    """What loading such a song prints."""
    return ("header: 1 %d div:%d\n" % (len(voices) + 1, DIVISION)
            + "Tempo: %d [4]\n" % TEMPO
            + "length of quarternote: %d ms\n" % (TEMPO // 1000))


def server_prefix(voices, waiting):
    return (e2e.BANNER + "Running as server\n"
            + ("Server waiting... use tonecast -a to begin.\n" if waiting else "")
            + loading_lines(voices) + "SV: Binded to port 27000\n")


def sent_notes(voices):
    """Every note as the server sends it: (key, tone length), sorted."""
    return sorted((key, length - 20) for voice in voices for _, length, key in voice)


class Watched:
    """A running process whose output is collected as it comes, so a test can wait for a line."""

    def __init__(self, process):
        self.process = process
        self._out = []
        self._err = []
        self._changed = threading.Condition()
        self._readers = [threading.Thread(target=self._collect, args=(stream, into), daemon=True)
                         for stream, into in ((process.stdout, self._out), (process.stderr, self._err))]
        for reader in self._readers:
            reader.start()

    def _collect(self, stream, into):
        for chunk in iter(lambda: stream.readline(), ""):
            with self._changed:
                into.append(chunk)
                self._changed.notify_all()

    @property
    def out(self):
        with self._changed:
            return "".join(self._out)

    def wait_for(self, text, timeout=10):
        """True once the output holds the text; False if the time ran out first."""
        with self._changed:
            return self._changed.wait_for(lambda: text in "".join(self._out), timeout)

    def finish(self, timeout=20):
        """Waits for the end (killing the process if it overstays) and returns (status, out, err)."""
        try:
            self.process.wait(timeout)
        except Exception:
            self.process.kill()
            self.process.wait()
        for reader in self._readers:
            reader.join(5)
        for stream in (self.process.stdout, self.process.stderr):
            stream.close()
        return self.process.returncode, "".join(self._out), "".join(self._err)

    def kill(self):
        """Ends the process if it still runs (a test always cleans up what it started)."""
        if self.process.poll() is None:
            self.process.kill()
        if not self.process.stdout.closed:
            self.finish()


def watch(*args):
    """Starts tonecast with the arguments and watches it."""
    return Watched(e2e.start(*args))


def reply(kind, word1=0, word2=0):
    return struct.pack("<hhh", kind, word1, word2)


def reply_of(data):
    """A 6-byte reply as its three signed words."""
    return struct.unpack("<hhh", data[:6])


class FakeClient:
    """A client made of one UDP socket on this host that talks to the server at 127.0.0.1."""

    def __init__(self):
        self.socket = e2e.udp_listener(0)

    def send(self, data):
        self.socket.sendto(data, ("127.0.0.1", e2e.SERVER_PORT))

    def connect(self, timeout=5):
        """Sends a connect request and returns the id the server assigns."""
        self.send(b"\xff" + bytes(9))
        self.socket.settimeout(timeout)
        kind, client_id, _ = reply_of(self.socket.recv(2048))
        if kind != MSG_ASSIGN_ID:
            raise AssertionError("expected an id, got %r" % ((kind, client_id),))
        return client_id

    def disconnect(self, client_id):
        self.send(struct.pack("<h", client_id) + b"\x05" + bytes(7))

    def receive(self, quiet_seconds=0.5):
        """Replies that arrive until the socket is quiet, as (kind, word 1, word 2)."""
        return [reply_of(data) for data, _ in e2e.receive_all(self.socket, quiet_seconds)]

    def receive_until_bye(self, timeout=30):
        """Replies up to and including the server's good-bye."""
        replies = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.socket.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                replies.append(reply_of(self.socket.recv(2048)))
            except socket.timeout:
                break
            if replies[-1][0] == MSG_BYE:
                break
        return replies

    def close(self):
        self.socket.close()


def activate():
    """One activate datagram to the server, as "tonecast -a" would send."""
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.sendto(b"\xfe" + bytes(9), ("127.0.0.1", e2e.SERVER_PORT))
    sender.close()
