"""Pieces of the server's end-to-end tests: songs written as MIDI bytes and processes watched while
they run. Import after e2e_support, which checks for the private network."""
import threading

import e2e_support as e2e
from midi_bytes import song, track

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
                         for stream, into in ((process.stdout, self._out), (process.stderr, self._err))
                         if stream is not None]
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

    @property
    def err(self):
        with self._changed:
            return "".join(self._err)

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
            if stream is not None:
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
