"""The client ("-c") against a fake server: joining, ids, notes, good-bye and hostile datagrams."""
import random
import re
import signal
import socket
import struct
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support
import tone_capture

START = e2e.BANNER + "Running as client\n" + "Connecting...\n"


class Client(unittest.TestCase):
    def setUp(self):
        self.server = peers.udp_listener(peers.SERVER_PORT)
        self.addCleanup(self.server.close)
        # Every tone goes to a file rather than to the machine's sound card.
        self.capture = tone_capture.Capture().__enter__()
        self.addCleanup(self.capture.__exit__)

    def start_client(self, *options):
        process, address = peers.start_client(self.server, *options, env=self.capture.env)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.communicate()))
        return process, address

    def say_bye(self, process, address, sender=None, datagram=peers.reply(peers.MSG_BYE)):
        """Sends the server's good-bye; returns (status, stdout, seconds until the client ended)."""
        sent = time.monotonic()
        (sender or self.server).sendto(datagram, address)
        out, _ = process.communicate(timeout=10)
        return process.returncode, out, time.monotonic() - sent

    def test_connect_requests_once_a_second_until_an_id_arrives(self):
        process, address = self.start_client()
        arrivals = [time.monotonic()]
        self.server.settimeout(2.0)
        while arrivals[-1] - arrivals[0] < 3.5:
            data, sender = self.server.recvfrom(2048)
            self.assertEqual((data, sender), (peers.LIVE_CONNECT, address))
            arrivals.append(time.monotonic())
        gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]
        for gap in gaps:
            self.assertTrue(0.95 <= gap <= 1.3, gaps)
        self.server.sendto(peers.reply(peers.MSG_ASSIGN_ID, 7), address)
        # Connected: no more requests, however long it waits.
        self.assertEqual(peers.receive_all(self.server, quiet_seconds=2.5), [])
        status, out, _ = self.say_bye(process, address)
        self.assertEqual(out, START + "Connecting...\n" * (len(arrivals) - 1)
                         + "Connected! Got id: 7\n" + "Server quit.\n" + "Quit.\n")
        self.assertEqual(status, 0)

    def test_the_client_follows_the_server_that_gave_its_first_id(self):
        process, address = self.start_client()
        self.server.sendto(peers.reply(peers.MSG_ASSIGN_ID, 4), address)
        # Its server may answer again, with any id, negative ones included; the line comes again.
        self.server.sendto(peers.reply(peers.MSG_ASSIGN_ID, -2), address)
        # Another server's id is handed back at once; a stranger's long note and good-bye do nothing.
        other = peers.udp_listener()
        self.addCleanup(other.close)
        for datagram in (peers.reply(peers.MSG_ASSIGN_ID, 31), peers.reply(peers.MSG_NOTE, 69, 30000),
                         peers.reply(peers.MSG_BYE)):
            other.sendto(datagram, address)
        self.assertEqual([d for d, _ in peers.receive_all(other)], [peers.good_bye(31)])
        status, out, seconds = self.say_bye(process, address)
        self.assertLess(seconds, 1.0)
        self.assertEqual(out, START + "Connected! Got id: 4\n" + "Connected! Got id: -2\n"
                         + "Server quit.\n" + "Quit.\n")
        self.assertEqual(status, 0)
        self.assertEqual([d for d, _ in peers.receive_all(self.server)], [peers.good_bye(-2)])

    def test_good_bye_before_any_id_disconnects_as_id_0(self):
        process, address = self.start_client()
        status, out, _ = self.say_bye(process, address)
        self.assertEqual(out, START + "Server quit.\n" + "Quit.\n")
        self.assertEqual(status, 0)
        self.assertEqual([d for d, _ in peers.receive_all(self.server)], [peers.good_bye(0)])

    def test_a_second_stop_ends_a_client_blocked_writing_to_a_full_pipe(self):
        # Nobody reads its output: some 3,000 repeated ids fill the pipe and the client blocks in a
        # write, where the first SIGTERM cannot end it; the second ends it as SIGTERM does by default.
        process, address = self.start_client()
        for _ in range(5000):
            self.server.sendto(peers.reply(peers.MSG_ASSIGN_ID, 0), address)
            time.sleep(0.0002)
        process.send_signal(signal.SIGTERM)
        time.sleep(0.5)
        self.assertIsNone(process.poll())
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(2), -signal.SIGTERM)

    def test_notes_without_length_or_audible_key_do_not_block(self):
        process, address = self.start_client()
        self.server.sendto(peers.reply(peers.MSG_ASSIGN_ID, 1), address)
        # Taken as an unsigned length, -1 or -32768 would hold the client for days; keys this far
        # out have frequencies no speaker plays (one of them beyond any int).
        for key, length in ((69, 0), (69, -1), (69, -32768), (32767, 30000), (-32768, 30000),
                            (200, 30000), (-100, 30000)):
            self.server.sendto(peers.reply(peers.MSG_NOTE, key, length), address)
        status, out, seconds = self.say_bye(process, address)
        self.assertLess(seconds, 1.0)
        self.assertEqual(out, START + "Connected! Got id: 1\n" + "Server quit.\n" + "Quit.\n")
        self.assertEqual(status, 0)
        self.assertEqual(self.capture.measure().samples, 0)

    @unittest.skipIf(tone_capture.pc_speaker_present(), "tones go to the PC speaker, not to ALSA")
    def test_notes_play_as_tones_of_their_key_and_length(self):
        process, address = self.start_client()
        # A note before any id plays all the same; notes that arrive during a tone wait for it.
        for datagram in (peers.reply(peers.MSG_NOTE, 69, 500), peers.reply(peers.MSG_ASSIGN_ID, 5),
                         peers.reply(peers.MSG_NOTE, 60, 1000), peers.reply(peers.MSG_NOTE, 127, 1000)):
            self.server.sendto(datagram, address)
        status, out, seconds = self.say_bye(process, address)
        self.assertEqual(out, START + "Connected! Got id: 5\n" + "Server quit.\n" + "Quit.\n")
        self.assertEqual(status, 0)
        # Whole cycles in each tone, so the measured frequencies are exact: 261, not 262 Hz.
        self.assertEqual(self.capture.measure().segments,
                         [(440.0, 500.0), (261.0, 1000.0), (12543.0, 1000.0)])
        self.assertGreaterEqual(seconds, 2.5)  # each tone lasts its length, played one by one

    def test_random_datagrams_do_no_harm(self):
        process, address = self.start_client()
        rng = random.Random(27000)
        sent_ids = []
        for i in range(3000):
            roll = rng.random()
            if roll < 0.05:
                data = peers.reply(peers.MSG_ASSIGN_ID, rng.randrange(-32768, 32768))
            elif roll < 0.10:
                # Any key; lengths of a few milliseconds at most, so the run stays short.
                data = peers.reply(peers.MSG_NOTE, rng.randrange(-32768, 32768), rng.randrange(-32768, 4))
            else:
                size = rng.choice((0, 1, 2, 3, 4, 5, 6, 7, 10, 255, 256, 257, 1400))
                data = bytes(rng.randrange(256) for _ in range(size))
            kind, word1, word2 = words(data)
            if kind == peers.MSG_BYE or (kind == peers.MSG_NOTE and word2 > 3):
                continue  # a good-bye would end the run early, a long note make it slow
            if kind == peers.MSG_ASSIGN_ID and data:
                sent_ids.append(word1)
            self.server.sendto(data, address)
            if i % 50 == 0:
                time.sleep(0.01)  # let the client keep up, so that little is dropped
        # A one-byte good-bye: the bytes it leaves out read as zero.
        status, out, _ = self.say_bye(process, address, datagram=b"\x05")
        self.assertEqual(status, 0)
        lines = out.splitlines(keepends=True)
        self.assertEqual("".join(lines[:3]), START)
        self.assertEqual(lines[-2:], ["Server quit.\n", "Quit.\n"])
        printed = [line for line in lines[3:-2] if line != "Connecting...\n"]
        printed_ids = [int(line[len("Connected! Got id: "):]) for line in printed]
        self.assertEqual(printed, ["Connected! Got id: %d\n" % n for n in printed_ids])
        self.assertTrue(is_subsequence(printed_ids, sent_ids))
        self.assertGreater(len(printed_ids), len(sent_ids) / 2)  # a loaded machine may drop some
        self.assertEqual([d for d, _ in peers.receive_all(self.server)
                          if d != peers.LIVE_CONNECT and not d.startswith(peers.LIVE_CLOCK_REQUEST)],
                         [peers.good_bye(printed_ids[-1])])

    def test_a_timed_note_before_any_clock_reply_is_missed_at_the_good_bye(self):
        # Welcomed and given a note, but no clock request answered: the note cannot be placed (it
        # is not played as it comes), and the good-bye counts it missed and ends the client at once.
        process, address = self.start_client()
        for datagram in (peers.reply(peers.MSG_ASSIGN_ID, 3), peers.reply(peers.MSG_WELCOME, 2),
                         struct.pack("<hhhI", peers.MSG_TIMED_NOTE, 69, 200, 0), peers.reply(peers.MSG_BYE)):
            self.server.sendto(datagram, address)
        out, err = process.communicate(timeout=5)
        self.assertEqual((process.returncode, out),
                         (0, START + "Connected! Got id: 3\n" + "Server quit.\n" + "Quit.\n"))
        self.assertIn("Notes that came after their moment: 0 played shortened, 1 missed.\n", err)
        self.assertEqual(self.capture.measure().samples, 0)

    def test_timed_notes_are_placed_by_a_server_clock_that_runs_fast_and_wraps(self):
        # The server's clock runs 100 ppm fast and wraps 6 s into the run. A timed note due 1 s on
        # comes before any clock reply: it waits for the clock. Over 12 s of clock exchanges, with
        # forged replies near the end that echo the client's present microsecond (a round trip of
        # nothing) and claim a time 300 ms on, the client learns the offset and drift; then three
        # notes 1 s apart on the server's clock, a late one and one already over. The server then
        # falls silent: 10 s on, the client asks it (not everyone) for a slot again, and gets the
        # same id and the good-bye.
        wraps_at = time.monotonic() + 6
        server_micros = lambda: (time.monotonic() - wraps_at) * (1 + 1e-4) * 1e6 % 2 ** 32  # noqa: E731
        timed_note = lambda at, length: struct.pack("<hhhI", peers.MSG_TIMED_NOTE, 69, length,  # noqa: E731
                                                    int(at) % 2 ** 32)
        process, address = self.start_client("--show-clock")
        watched = server_support.Watched(process)
        self.server.setsockopt(socket.IPPROTO_IP, getattr(socket, "IP_PKTINFO", 8), 1)
        early_at = server_micros() + 1e6
        for datagram in (peers.reply(peers.MSG_ASSIGN_ID, 0), peers.reply(peers.MSG_WELCOME, 2),
                         timed_note(early_at, 200)):
            self.server.sendto(datagram, address)
        answering_until, forged, notes_at, rejoined = time.monotonic() + 12, False, None, None
        self.server.settimeout(0.05)
        while process.poll() is None and time.monotonic() < answering_until + 20:
            try:
                data, ancillary, _, sender = self.server.recvmsg(2048, socket.CMSG_SPACE(12))
            except socket.timeout:
                data = b""
            # Welcomed as by a server of version 2, it sends nothing of the concert.
            self.assertFalse(data.startswith(peers.CLIENT_REPORT))
            if data.startswith(peers.LIVE_CLOCK_REQUEST) and time.monotonic() < answering_until:
                self.server.sendto(struct.pack("<hh4sI", peers.MSG_CLOCK_REPLY, 0, data[10:14],
                                               int(server_micros())), sender)
                last_answer = time.monotonic()
            if data == peers.LIVE_CONNECT and rejoined is None:
                destination = socket.inet_ntoa(ancillary[0][2][8:12])  # in_pktinfo's header address
                rejoined = (time.monotonic() - last_answer, sender, destination)
                for datagram in (peers.reply(peers.MSG_ASSIGN_ID, 0), peers.reply(peers.MSG_WELCOME, 2),
                                 peers.reply(peers.MSG_BYE)):
                    self.server.sendto(datagram, address)
            if time.monotonic() >= answering_until - 0.3 and not forged:
                stamp = int(time.clock_gettime(time.CLOCK_BOOTTIME) * 1e6) % 2 ** 32
                for _ in range(3):
                    self.server.sendto(struct.pack("<hhII", peers.MSG_CLOCK_REPLY, 0, stamp,
                                                   (int(server_micros()) + 300000) % 2 ** 32), address)
                forged = True
            if time.monotonic() >= answering_until and notes_at is None:
                clock_line = [line for line in watched.err.splitlines() if line.startswith("Clock: ")][-1]
                expected_offset = server_micros() - time.monotonic() * 1e6
                notes_at = server_micros()
                for ahead_ms, length in ((-100, 300), (-1000, 300), (400, 200), (1400, 200), (2400, 200)):
                    self.server.sendto(timed_note(notes_at + ahead_ms * 1000, length), address)
        status, out, err = watched.finish(timeout=10)
        self.assertEqual((status, out),
                         (0, START + "Connected! Got id: 0\n" * 2 + "Server quit.\n" + "Quit.\n"))
        self.assertIn("Notes that came after their moment: 1 played shortened, 1 missed.\n", err)
        offset_ms, drift_ppm = map(float, re.match(r"Clock: offset ([-+.\d]+) ms, drift ([-+.\d]+) ppm",
                                                   clock_line).groups())
        self.assertLess(abs((offset_ms * 1000 - expected_offset + 2 ** 31) % 2 ** 32 - 2 ** 31), 1000)
        self.assertAlmostEqual(drift_ppm, 100, delta=20)
        # The tones on the file device's samples: the early one at its moment (it waited for the
        # clock, where it was once played as it came), the late one, then the three 1 s of the
        # server's clock apart.
        early, _, *on_time = tone_capture.tone_starts(self.capture.samples())[-5:]
        self.assertAlmostEqual(on_time[0] - early, ((notes_at + 400000 - early_at) % 2 ** 32) / 1e6
                               * tone_capture.RATE / (1 + 1e-4), delta=0.002 * tone_capture.RATE)
        for first, second in zip(on_time, on_time[1:]):
            self.assertAlmostEqual(second - first, tone_capture.RATE / (1 + 1e-4), delta=1.5)
        since_answer, sender, destination = rejoined
        # Sent to the own server, whose address on this one host is the client's own: no broadcast.
        self.assertEqual((sender, destination), (address, address[0]))
        self.assertTrue(9.5 < since_answer < 11.5, since_answer)

    def play_a_concert(self, *options):
        """Two songs from a fake server of the concert: it answers the time only from 1.5 s on; the
        first song has a note 300 ms late and one missed, then its end; the second two notes ahead
        that a silence comes before, and one after it. Returns (status, stdout, stderr, datagrams
        from the client as (seconds since its id, bytes))."""
        process, address = self.start_client(*options)
        watched = server_support.Watched(process)
        begun = time.monotonic()
        micros = lambda ahead_ms=0: int((time.monotonic() + 77) * 1e6 + ahead_ms * 1000) % 2 ** 32  # noqa: E731
        timed_note = lambda key, ahead_ms, length: struct.pack(  # noqa: E731
            "<hhhI", peers.MSG_TIMED_NOTE, key, length, micros(ahead_ms))
        script = [(0, lambda: peers.reply(peers.MSG_ASSIGN_ID, 0)), (0, lambda: peers.reply(peers.MSG_WELCOME, 3)),
                  (2.0, lambda: timed_note(69, -300, 500)), (2.0, lambda: timed_note(69, -1000, 300)),
                  (3.5, lambda: peers.reply(peers.MSG_SONG_END, 1)),
                  (4.5, lambda: timed_note(69, 600, 200)), (4.5, lambda: timed_note(69, 900, 200)),
                  (4.6, lambda: peers.reply(peers.MSG_SILENCE)), (4.7, lambda: timed_note(81, 1300, 200)),
                  (7.0, lambda: peers.reply(peers.MSG_BYE))]
        received = []
        self.server.settimeout(0.01)
        while process.poll() is None and time.monotonic() - begun < 15:
            while script and time.monotonic() - begun >= script[0][0]:
                self.server.sendto(script.pop(0)[1](), address)
            try:
                data, _ = self.server.recvfrom(2048)
            except socket.timeout:
                continue
            received.append((time.monotonic() - begun, data))
            if data[0] == 0xFD and time.monotonic() - begun >= 1.5:
                self.server.sendto(struct.pack("<hh4sI", peers.MSG_CLOCK_REPLY, 0, data[10:14], micros()), address)
        status, out, err = watched.finish(timeout=5)
        return status, out, err, received

    def test_a_concert_client_keeps_the_room_through_a_song_end_forgets_notes_at_a_silence_and_reports(self):
        status, out, err, received = self.play_a_concert()
        self.assertEqual((status, out), (0, START + "Connected! Got id: 0\n" + "Server quit.\n" + "Quit.\n"))
        # The first song's count at its end, the second's (its silenced notes forgotten) none.
        self.assertEqual(err.count("Notes that came after their moment"), 1)
        self.assertIn("Notes that came after their moment: 1 played shortened, 1 missed.\n", err)
        self.assertEqual([round(f) for f, _ in self.capture.measure().segments], [440, 880])
        reports = [(at, data) for at, data in received if data[0] == 0xFC]
        # Once a second, not before the clock's first reply; the song's counts, afresh after its end.
        self.assertGreaterEqual(reports[0][0], 1.5)
        self.assertTrue(all(0.8 < b[0] - a[0] < 1.3 for a, b in zip(reports, reports[1:])), reports)
        for at, data in reports:
            self.assertEqual((len(data), data[:10]), (18, peers.CLIENT_REPORT))
            round_trip, late, missed = struct.unpack("<Ihh", data[10:])
            self.assertTrue(0 < round_trip < 100000, round_trip)
            self.assertEqual((late, missed), (1, 1) if 2.2 < at < 3.4 else (0, 0) if at > 3.6 or at < 1.9
                             else (late, missed))

    def test_a_client_of_version_2_plays_the_concert_as_before(self):
        status, out, err, received = self.play_a_concert("--protocol", "2")
        self.assertEqual((status, out), (0, START + "Connected! Got id: 0\n" + "Server quit.\n" + "Quit.\n"))
        self.assertEqual(err.count("Notes that came after their moment"), 1)
        self.assertIn("Notes that came after their moment: 1 played shortened, 1 missed.\n", err)
        self.assertEqual([round(f) for f, _ in self.capture.measure().segments], [440, 440, 440, 880])
        self.assertEqual({data[:10] for _, data in received} - {peers.TIMED_CONNECT},
                         {peers.CLOCK_REQUEST, peers.good_bye(0)})


def words(data):
    """The three words a client reads from a datagram, missing bytes read as zero."""
    padded = (data + bytes(6))[:6]
    return [int.from_bytes(padded[i:i + 2], "little", signed=True) for i in (0, 2, 4)]


def is_subsequence(short, long):
    remaining = iter(long)
    return all(item in remaining for item in short)


if __name__ == "__main__":
    e2e.main()
