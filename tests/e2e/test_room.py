"""A whole performance in a virtual room: the server, three clients and the activate sender are
five separate hosts on one network segment, and every note of the song reaches some client."""
import os
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
                    players.append(start(host, "-c"))
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
        notes = []
        for client_id, host in enumerate(CLIENTS):
            replies = [peers.reply_of(d.payload) for d in capture.datagrams(host) if d.source == server_address]
            self.assertEqual(replies[0], (peers.MSG_ASSIGN_ID, client_id, 0))
            self.assertEqual(replies[-1], (peers.MSG_BYE, 0, 0))
            self.assertTrue(all(kind == peers.MSG_NOTE for kind, _, _ in replies[1:-1]), replies)
            # Each line of the song stays with its client: every client plays something.
            self.assertTrue(replies[1:-1], "client %d played nothing" % client_id)
            notes += [(key, length) for _, key, length in replies[1:-1]]
        self.assertEqual(sorted(notes), server.sent_notes(VOICES))
        # Told good-bye, each client says its own good-bye to the server, from its own address.
        good_byes = sorted(d.payload for d in capture.datagrams(SERVER) if d.payload[2:3] == b"\x05")
        self.assertEqual(good_byes, [peers.good_bye(i) for i in range(len(CLIENTS))])


if __name__ == "__main__":
    e2e.main()
