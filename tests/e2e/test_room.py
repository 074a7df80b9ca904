"""A whole performance in a virtual room: the server, three clients and the activate sender are
five separate hosts on one network segment, and every note of the song reaches some client. One
client plays as older clients do and gets the older protocol to the byte, each note when it is due;
the two others know the room's clock and get their notes a lead ahead with the moment they sound."""
import os
import struct
import tempfile
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server

from virtual_room import VirtualRoom  # tools/, on the path once e2e_support is imported

# Three voices in milliseconds (start, length, key): two gapless lines and one with rests, whose
# notes never start or end where the others' do.
VOICES = [
    [(i * 150, 150, key) for i, key in enumerate([60, 62, 64, 65, 67, 69, 71, 72])],
    [(i * 300, 300, key) for i, key in enumerate([48, 52, 55, 47])],
    [(75, 100, 76), (275, 100, 79), (475, 100, 84), (875, 200, 81)],
]
SERVER, CLIENTS, ACTIVATOR = 0, (1, 2, 3), 4
OLD_STYLE = 1
LEAD_MS = 150


class Room(unittest.TestCase):
    def test_a_song_played_across_three_client_hosts(self):
        with tempfile.TemporaryDirectory() as folder, VirtualRoom(5) as room, room.capture() as capture:
            song = server.write_song(os.path.join(folder, "song.mid"), VOICES)
            started = []

            def start(host, *args):
                watched = server.Watched(room.start(host, [e2e.TONECAST, *args], stdout=-1, stderr=-1, text=True))
                started.append(watched)
                return watched

            try:
                performer = start(SERVER, "-s", song, "-w")
                self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
                players = []
                for expected_id, host in enumerate(CLIENTS):
                    players.append(start(host, "-c", *(["--protocol", "1"] if host == OLD_STYLE else [])))
                    # One at a time, so the ids follow the hosts.
                    self.assertTrue(self._wait_for_id(capture, host, expected_id), capture.datagrams())

                activation = room.run(ACTIVATOR, [e2e.TONECAST, "-a"], capture_output=True, text=True, timeout=10)
                self.assertEqual((activation.returncode, activation.stdout), (0, e2e.BANNER + "Quit.\n"))

                status, out, _ = performer.finish(timeout=20)
                self.assertEqual(out, server.server_prefix(VOICES, waiting=True) + "SV: got activate\nQuit.\n")
                self.assertEqual(status, 0)
                for client_id, player in enumerate(players):
                    status, out, _ = player.finish(timeout=10)
                    self.assertTrue(out.startswith(e2e.BANNER + "Running as client\nConnecting...\n"), out)
                    self.assertIn("Connected! Got id: %d\n" % client_id, out)
                    self.assertTrue(out.endswith("Server quit.\nQuit.\n"), out)
                    self.assertEqual(status, 0)
            finally:
                for watched in started:
                    watched.kill()

            self._check_what_the_hosts_received(capture)

    def test_clock_exchanges_keep_a_client_through_a_rest_of_ninety_seconds(self):
        # The older client ends a minute after its note, with its good-bye; the one that knows the
        # room's clock hears from its server every second and plays the note after the rest.
        voices = [[(0, 100, 60), (90000, 100, 62)]]
        with tempfile.TemporaryDirectory() as folder, VirtualRoom(4) as room, room.capture() as capture:
            song = server.write_song(os.path.join(folder, "song.mid"), voices)
            performer = server.Watched(room.start(SERVER, [e2e.TONECAST, "-s", song, "-w"], stdout=-1, text=True))
            self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
            players = [server.Watched(room.start(1, [e2e.TONECAST, "-c", "--protocol", "1"], stdout=-1, text=True))]
            self.assertTrue(self._wait_for_id(capture, 1, 0))
            players.append(server.Watched(room.start(2, [e2e.TONECAST, "-c"], stdout=-1, text=True)))
            self.assertTrue(self._wait_for_id(capture, 2, 1))
            room.run(3, [e2e.TONECAST, "-a"], capture_output=True, timeout=10)
            outs = [watched.finish(timeout=120)[:2] for watched in [performer] + players]
        self.assertEqual(outs[0], (0, server.server_prefix(voices, waiting=True)
                                   + "SV: got activate\nClient 0 disconnected.\nQuit.\n"))
        start = e2e.BANNER + "Running as client\nConnecting...\n"
        self.assertEqual(outs[1], (0, start + "Connected! Got id: 0\nQuit.\n"))
        self.assertEqual(outs[2], (0, start + "Connected! Got id: 1\nServer quit.\nQuit.\n"))
        notes = [d.payload[:6] for d in capture.datagrams(2) if d.payload[:2] == b"\x06\x00"]
        self.assertEqual(notes, [peers.reply(peers.MSG_TIMED_NOTE, 62, 80)])

    def test_a_concert_of_two_songs_keeps_every_client_between_them(self):
        # An older client, one of the clock's first version and one of the concert's: the room
        # stays through both songs, only the last gets told of the song's end, and each note of
        # either song is given once.
        second = [[(start, length, key - 40) for start, length, key in voice] for voice in VOICES]
        with tempfile.TemporaryDirectory() as folder, VirtualRoom(5) as room, room.capture() as capture:
            first_song = server.write_song(os.path.join(folder, "first.mid"), VOICES)
            server.write_song(os.path.join(folder, "second.mid"), second)
            with open(os.path.join(folder, "concert.txt"), "w") as playlist:
                playlist.write("# the second half\n\nsecond.mid\n")
            performer = server.Watched(room.start(SERVER, [e2e.TONECAST, "-s", first_song, "-w", "--playlist",
                                                           os.path.join(folder, "concert.txt")], stdout=-1, text=True))
            self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
            versions = {1: ["--protocol", "1"], 2: ["--protocol", "2"], 3: []}
            players = []
            for expected_id, host in enumerate(CLIENTS):
                players.append(server.Watched(room.start(host, [e2e.TONECAST, "-c", *versions[host]], stdout=-1,
                                                         text=True)))
                self.assertTrue(self._wait_for_id(capture, host, expected_id))
            room.run(ACTIVATOR, [e2e.TONECAST, "-a"], capture_output=True, timeout=10)
            outs = [watched.finish(timeout=30)[:2] for watched in [performer] + players]
        self.assertEqual(outs[0], (0, server.server_prefix(VOICES, waiting=True) + "SV: got activate\n"
                                   + server.loading_lines(second) + "Quit.\n"))
        for client_id, out in enumerate(outs[1:]):
            self.assertEqual(out, (0, e2e.BANNER + "Running as client\nConnecting...\nConnected! Got id: %d\n"
                                   "Server quit.\nQuit.\n" % client_id))
        server_address = (VirtualRoom.address(SERVER), peers.SERVER_PORT)
        notes, song_ends = [], []
        for host in CLIENTS:
            replies = [peers.reply_of(d.payload) for d in capture.datagrams(host) if d.source == server_address]
            self.assertEqual([kind for kind, _, _ in replies].count(peers.MSG_BYE), 1)
            self.assertEqual(replies[-1], (peers.MSG_BYE, 0, 0))
            if host > 1:
                # The default client is of live playing's version.
                self.assertEqual(replies[1], (peers.MSG_WELCOME, {2: 2, 3: 4}[host], 0))
            kinds = [kind for kind, _, _ in replies]
            song_ends.append([reply for reply in replies if reply[0] == peers.MSG_SONG_END])
            if song_ends[-1]:
                # Told between the songs: after every note of the first, before any of the second.
                end = kinds.index(peers.MSG_SONG_END)
                keys = [key for kind, key, _ in replies if kind == peers.MSG_TIMED_NOTE]
                self.assertEqual(keys, sorted(keys, key=lambda k: k < 45), "first song's notes, then the second's")
                self.assertTrue(all(key >= 45 for kind, key, _ in replies[:end] if kind == peers.MSG_TIMED_NOTE))
                self.assertNotIn(peers.MSG_SILENCE, kinds)
            notes += [reply[1:] for reply in replies if reply[0] in (peers.MSG_NOTE, peers.MSG_TIMED_NOTE)]
        self.assertEqual(song_ends, [[], [], [(peers.MSG_SONG_END, 1, 0)]])
        self.assertEqual(sorted(notes), sorted(server.sent_notes(VOICES) + server.sent_notes(second)))

    @staticmethod
    def _wait_for_id(capture, host, expected_id, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for datagram in capture.datagrams(host):
                if datagram.payload[:6] == peers.reply(peers.MSG_ASSIGN_ID, expected_id):
                    return True
            time.sleep(0.02)
        return False

    def _check_what_the_hosts_received(self, capture):
        server_address = (VirtualRoom.address(SERVER), peers.SERVER_PORT)
        start_of = {key: start for voice in VOICES for start, _, key in voice}
        notes, origins, on_arrival = [], set(), []
        for client_id, host in enumerate(CLIENTS):
            received = [d for d in capture.datagrams(host) if d.source == server_address]
            replies = [peers.reply_of(d.payload) for d in received]
            self.assertEqual(replies[0], (peers.MSG_ASSIGN_ID, client_id, 0))
            self.assertEqual(replies[-1], (peers.MSG_BYE, 0, 0))
            if host == OLD_STYLE:
                played = received[1:-1]
                self.assertTrue(all(len(d.payload) == 6 and d.payload[:2] == b"\x04\x00" for d in played), replies)
                on_arrival += [(d.time, start_of[peers.reply_of(d.payload)[1]]) for d in played]
            else:
                self.assertEqual(replies[1], (peers.MSG_WELCOME, 4, 0))
                played = [d for d in received[2:-1] if peers.reply_of(d.payload)[0] == peers.MSG_TIMED_NOTE]
                self.assertTrue(all(len(d.payload) == 10 for d in played), replies)
                for d in played:
                    moment = struct.unpack("<I", d.payload[6:10])[0]
                    origins.add(moment - start_of[peers.reply_of(d.payload)[1]] * 1000)
                    # Sent ahead of the moment it sounds, on the server's microsecond clock, and
                    # never more than a lead ahead.
                    self.assertTrue(0 < wrapped_ms(moment - d.time * 1e6) <= LEAD_MS + 1, replies)
            # Each line of the song stays with its client: every client plays something.
            self.assertTrue(played, "client %d played nothing" % client_id)
            notes += [peers.reply_of(d.payload)[1:] for d in played]
        self.assertEqual(sorted(notes), server.sent_notes(VOICES))
        # Every timed note counts from one origin: the song's start, a lead after the activate.
        self.assertEqual(len(origins), 1)
        origin = origins.pop()
        activate = [d.time for d in capture.datagrams(SERVER) if d.payload == peers.ACTIVATE][0]
        self.assertGreaterEqual(wrapped_ms(origin - activate * 1e6), LEAD_MS - 1)
        # The older client gets each note only when the song reaches it.
        for arrival, start in on_arrival:
            self.assertGreaterEqual(wrapped_ms(arrival * 1e6 - origin - start * 1000), -1)
        # Told good-bye, each client says its own good-bye to the server, from its own address.
        good_byes = sorted(d.payload for d in capture.datagrams(SERVER) if d.payload[2:3] == b"\x05")
        self.assertEqual(good_byes, [peers.good_bye(i) for i in range(len(CLIENTS))])


def wrapped_ms(micros):
    """A difference of two 32-bit microsecond clock readings, in milliseconds."""
    return ((int(micros) + 2 ** 31) % 2 ** 32 - 2 ** 31) / 1000


if __name__ == "__main__":
    e2e.main()
