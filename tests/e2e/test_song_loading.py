"""Song loading as `tonecast -s` does it: the lines it prints, a load error ending the run before any
network use, the records of a failed load freed, and a song's tracks played in time order."""
import os
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server
from midi_bytes import chunk, header, song, track

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

    def test_a_file_stripped_of_its_system_exclusive_events_loads_with_every_other_event_kept(self):
        # Dropped: a first event, an F7 escape before a note under running status, two in a row,
        # and one just before the end of a track; their delta times go to the next event.
        sysex = b"\xf0\x05\x7e\x7f\x09\x01\xf7"
        with_sysex = song(1, 96, [
            track([(7, sysex), (2, set_tempo(600000)), (0, note_on(60)), (1, b"\xf7\x02\x01\x02"),
                   (3, b"\x3e\x64"), (130, sysex), (0, sysex), (1, note_off(60)), (5, sysex)]),
            track([(0, note_on(64)), (200, sysex)])])
        end_of_track = b"\xff\x2f\x00"
        without = song(1, 96, [
            chunk(b"\x09" + set_tempo(600000) + b"\x00" + note_on(60) + b"\x04\x3e\x64"
                  + b"\x81\x03" + note_off(60) + b"\x05" + end_of_track),
            chunk(b"\x00" + note_on(64) + b"\x81\x48" + end_of_track)])
        original, stripped = self.write("sysex.mid", with_sysex), os.path.join(self.folder.name, "stripped.mid")
        result = subprocess.run([sys.executable, os.path.join(e2e.REPO, "tools", "strip_sysex.py"), original, stripped],
                                capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(stripped, "rb") as file:
            self.assertEqual(file.read(), without)
        status, out, err = e2e.run("-s", stripped)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out, SERVER_START + "header: 1 2 div:96\nTempo: 600000 [4]\nlength of quarternote: 600 ms\n"
                         "SV: Binded to port 27000\nQuit.\n")

    def test_a_stop_ends_a_server_that_is_loading_at_once(self):
        # A pipe that nobody writes (blocked opening it), one that stalls after the header (blocked
        # reading), and a 2 GiB file stopped a moment into its 17 s of reading.
        never, stalled = (os.path.join(self.folder.name, name) for name in ("never.mid", "stalled.mid"))
        huge = self.write("huge.mid", header(0, 1, 96) + b"MTrk\x7f\xff\xff\xff" + b"\x00\x90\x3c\x64")
        with open(huge, "r+b") as file:
            file.truncate(2 ** 31)  # zeros: note-offs of key 0 under running status, three bytes each
        for path, stop, loaded in [(never, signal.SIGINT, ""), (stalled, signal.SIGTERM, "header: 1 2 div:96\n"),
                                   (huge, signal.SIGHUP, "header: 0 1 div:96\n")]:
            if path != huge:
                os.mkfifo(path)
            process = e2e.start("-s", path)
            if path == stalled:
                writer = os.open(stalled, os.O_WRONLY)
                self.addCleanup(os.close, writer)
                os.write(writer, header(1, 2, 96))
            time.sleep(0.5)
            process.send_signal(stop)
            out, err = process.communicate(timeout=5)
            self.assertEqual((out, err, process.returncode), (SERVER_START + loaded + "Quit.\n", "", 0), path)

    def test_the_song_shaped_by_its_options(self):
        # A melody on channel 1 (track 2, with a channel 10 note-off that cuts its 64 short), drums
        # on channel 10 (track 3), a bass on channel 2 (track 4), and a SysEx event in tracks 1 and
        # 4. One tick is one millisecond.
        def events(channel, notes):
            return [(tick, bytes([status | channel, key, 100 if status == 0x90 else 0]))
                    for start, length, key in notes for tick, status in ((start, 0x90), (start + length, 0x80))]
        tempo = (0, set_tempo(server.TEMPO))
        path = self.write("band.mid", song(1, server.DIVISION, [
            server._track([tempo, (0, b"\xf0\x03\x7e\x09\xf7")]),
            server._track(events(0, [(0, 100, 60), (100, 100, 62), (200, 100, 64)]) + [(250, b"\x89\x40\x00")]),
            server._track(events(9, [(0, 50, 35), (100, 50, 42)])),
            server._track(events(1, [(0, 300, 40)]) + [(150, b"\xf7\x01\x00")])]))
        loaded = "header: 1 4 div:512\nTempo: 512000 [4]\nlength of quarternote: 512 ms\n"
        melody = [(60, 80), (62, 80), (64, 80)]
        cases = [
            ([], melody[:2] + [(64, 30), (35, 30), (42, 30), (40, 280)]),
            (["--no-drums"], melody + [(40, 280)]),
            (["--channels", "10"], [(35, 30), (42, 30)]),
            (["--channels", "1-9,11-16", "--tracks", "3-4"], [(40, 280)]),
            # Two keys folded onto 52 still end their own notes.
            (["--tracks", "2,4", "--no-drums", "--transpose", "-12", "--range", "48-59"],
             [(48, 80), (50, 80), (52, 80), (52, 280)]),
        ]
        for options, notes in cases:
            performer = server.watch("-s", path, "-w", "--skip-sysex", *options)
            self.addCleanup(performer.kill)
            self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
            players = [peers.FakeClient() for _ in range(4)]
            for player in players:
                self.addCleanup(player.close)
                player.connect()
            peers.activate()
            played = [(key, length) for player in players for kind, key, length in player.receive_until_bye(timeout=5)
                      if kind == peers.MSG_NOTE]
            self.assertEqual(sorted(played), sorted(notes), options)
            status, out, err = performer.finish()
            self.assertEqual(out, SERVER_START + "Server waiting... use tonecast -a to begin.\n" + loaded
                             + "SV: Binded to port 27000\nSV: got activate\nQuit.\n", options)
            self.assertEqual((status, err), (0, "Skipped 2 SysEx messages.\n"), options)

        # A bad value is refused before the file is read, naming the option and its form.
        transpose = "--transpose takes a number of semitones from -48 to 48, such as -12"
        for options, refusal in [(["--channels", "0"], "--channels takes a list of channels from 1 to 16, such as "
                                  "1-9,11-16"), (["--transpose", "x"], transpose), (["--transpose"], transpose),
                                 (["--range", "60-70"], "--range takes LOW-HIGH, two keys from 0 to 127 at least 11 "
                                  "apart (an octave), such as 48-84"),
                                 (["--web", "70000"], "--web takes a port from 1 to 65535, such as 8080, or nothing "
                                  "for 27080")]:
            status, out, err = e2e.run("-s", os.path.join(self.folder.name, "missing.mid"), *options)
            self.assertEqual((status, out, err), (2, e2e.BANNER + "Quit.\n", "tonecast: %s\n" % refusal))

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
