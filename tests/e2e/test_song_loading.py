"""Song loading as `tonecast -s` does it: the lines it prints, a load error ending the run before any
network use, the records of a failed load freed, and a song's tracks played in time order."""
import os
import re
import select
import struct
import subprocess
import tempfile
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
from midi_bytes import header, song, track

SERVER_START = e2e.BANNER + "Running as server\n"
FAILED = "There were errors reading the MIDI file. [%d]\n"


def note_on(key, velocity=100):
    return bytes([0x90, key, velocity])


def note_off(key):
    return bytes([0x80, key, 64])


def set_tempo(microseconds):
    return b"\xff\x51\x03" + microseconds.to_bytes(3, "big")


class SongLoading(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def write(self, name, data):
        path = os.path.join(self.folder.name, name)
        with open(path, "wb") as file:
            file.write(data)
        return path

    def test_a_song_that_cannot_be_loaded_ends_the_run_before_the_server_binds(self):
        # Exact output: no "SV: Binded" line, the reader's line and the loader's on one line.
        notes_then_cut = song(0, 480, [track([(0, note_on(60)), (480, note_off(60))])])[:-6]
        cases = [
            ("missing.mid", None, "Invalid MIDI file.\n"),
            ("empty.mid", b"", "Error:-1" + FAILED % -1),
            ("frames.mid", header(1, 2, 0xE728), FAILED % -6360),
            ("cut.mid", notes_then_cut, "header: 0 1 div:480\nError:-1" + FAILED % -1),
            ("sysex.mid", song(0, 96, [track([(0, set_tempo(600000)), (0, b"\xf0\x01\x02")])]),
             "header: 0 1 div:96\nTempo: 600000 [4]\nlength of quarternote: 600 ms\nError:-8"
             + FAILED % -8),
        ]
        for name, data, lines in cases:
            path = self.write(name, data) if data is not None else os.path.join(self.folder.name, name)
            status, out, err = e2e.run("-s", path)
            self.assertEqual(out, SERVER_START + lines + "Quit.\n", name)
            self.assertEqual(status, 0, name)
        self.assertIn("Sorry, no complete SysEx messages\n", err)

    @unittest.skipIf(e2e.SANITIZER_BUILD, "valgrind cannot run a binary built with the address sanitizer")
    def test_records_made_before_a_reader_error_are_freed(self):
        # The same error after no note and after 300 notes: what is still allocated at the end of the
        # run must not grow with the notes, and nothing may be lost or misused on the way.
        def in_use_at_exit(notes):
            events = [(10, note_on(40 + i % 40)) for i in range(notes)]
            data = song(1, 480, [track(events), b"MTrx"])
            path = self.write("error-after-%d.mid" % notes, data)
            result = subprocess.run(
                e2e.VALGRIND + [e2e.TONECAST, "-s", path],
                capture_output=True, text=True, timeout=120)
            self.assertEqual(result.stdout, SERVER_START + "header: 1 2 div:480\nError:-7"
                             + FAILED % -7 + "Quit.\n")
            self.assertEqual(result.returncode, 0, result.stderr)
            found = re.search(r"in use at exit: ([\d,]+) bytes in ([\d,]+) blocks", result.stderr)
            self.assertIsNotNone(found, result.stderr)
            return found.groups()

        self.assertEqual(in_use_at_exit(300), in_use_at_exit(0))

    def test_tracks_are_played_in_time_order_with_one_tempo_map(self):
        # Tracks 1 and 2 hold the notes, track 3 the only set-tempo event (250 ms per quarter note).
        # Read in file order with the tempo in force when each event is read, every note would be at
        # 0 ms, and key 62 would come before key 64.
        data = song(1, 480, [
            track([(0, note_on(60)), (240, note_off(60)), (720, note_on(62)), (240, note_off(62))]),
            track([(480, note_on(64)), (240, note_on(64, 0))]),
            track([(0, set_tempo(250000))]),
        ])
        path = self.write("three-tracks.mid", data)
        # Unbuffered, so that select() sees every byte the server has written.
        server = subprocess.Popen([e2e.TONECAST, "-s", path, "-w"], stdout=subprocess.PIPE, bufsize=0)
        self.addCleanup(server.stdout.close)
        self.addCleanup(server.wait)
        self.addCleanup(server.kill)
        expected_start = (SERVER_START + "Server waiting... use tonecast -a to begin.\n"
                          + "header: 1 3 div:480\nTempo: 250000 [4]\nlength of quarternote: 250 ms\n"
                          + "SV: Binded to port 27000\n")
        out = b""
        while not out.endswith(b"SV: Binded to port 27000\n"):
            ready, _, _ = select.select([server.stdout], [], [], 10)
            self.assertTrue(ready, out)
            chunk = os.read(server.stdout.fileno(), 4096)
            self.assertTrue(chunk, out)
            out += chunk
        out = out.decode()
        self.assertEqual(out, expected_start)

        client = peers.udp_listener()
        self.addCleanup(client.close)
        client.sendto(peers.CONNECT, ("127.0.0.1", peers.SERVER_PORT))
        self.assertEqual(client.recvfrom(64)[0], peers.reply(peers.MSG_ASSIGN_ID))
        activated = time.monotonic()
        client.sendto(peers.ACTIVATE, ("127.0.0.1", peers.SERVER_PORT))
        notes = []
        while True:
            data, _ = client.recvfrom(64)
            kind, key, length = struct.unpack("<hhh", data)
            if kind == peers.MSG_BYE:
                break
            notes.append((time.monotonic(), key, length))
        # Each note lasts 125 ms, sent as 105. The song starts after the activate datagram has been
        # sent, and no note leaves before its start (0, 250 and 500 ms), give or take the server
        # clock's millisecond steps.
        self.assertEqual([(key, length) for _, key, length in notes], [(60, 105), (64, 105), (62, 105)])
        arrivals = [arrival - activated for arrival, _, _ in notes]
        for arrival, start in zip(arrivals, (0.0, 0.25, 0.5)):
            self.assertGreaterEqual(arrival, start - 0.002, arrivals)
        rest, _ = server.communicate(timeout=10)
        self.assertEqual(rest.decode(), "SV: got activate\nQuit.\n")
        self.assertEqual(server.returncode, 0)


if __name__ == "__main__":
    e2e.main()
