"""A whole server run under valgrind's memcheck: a small song played to two fake clients, one of
which leaves and comes back, to the server's good-bye. No memory error and no lost block may
remain, and every note must still reach a client, however slowly the server runs under valgrind."""
import os
import subprocess
import tempfile
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server

# Two gapless lines: each stays on the client that began it, so no note is lost to a busy client
# even when valgrind makes the server late.
VOICES = [[(i * 150, 150, 60 + i) for i in range(8)], [(i * 300, 300, 40 + i) for i in range(4)]]
# Valgrind starts slowly and runs the loop many times slower.
SLOW = 60


@unittest.skipIf(e2e.SANITIZER_BUILD, "valgrind cannot run a sanitizer build, which checks leaks itself")
class ServerUnderValgrind(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def test_a_song_played_to_its_end_leaks_nothing_and_misuses_no_memory(self):
        path = server.write_song(os.path.join(self.folder.name, "song.mid"), VOICES)
        process = subprocess.Popen([*e2e.VALGRIND, e2e.TONECAST, "-s", path, "-w"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        watched = server.Watched(process)
        self.addCleanup(watched.kill)
        self.assertTrue(watched.wait_for("SV: Binded to port 27000\n", SLOW), watched.out)
        first, second, stranger = peers.FakeClient(), peers.FakeClient(), peers.FakeClient()
        for client in (first, second, stranger):
            self.addCleanup(client.close)
        self.assertEqual((first.connect(SLOW), second.connect(SLOW)), (0, 1))
        # A datagram longer than the receive buffer, one too short to classify, and a disconnect
        # of an id that is not in use.
        stranger.send(bytes(range(256)) * 8)
        stranger.send(b"\x07")
        stranger.disconnect(7)
        second.disconnect(1)
        self.assertTrue(watched.wait_for("Client 1 disconnected.\n", SLOW), watched.out)
        self.assertEqual(second.connect(SLOW), 1)
        peers.activate()
        played = []
        for client in (first, second):
            replies = client.receive_until_bye(SLOW)
            self.assertEqual(replies[-1], (peers.MSG_BYE, 0, 0))
            played += [(key, length) for kind, key, length in replies[:-1] if kind == peers.MSG_NOTE]
        self.assertEqual(sorted(played), server.sent_notes(VOICES))
        status, out, err = watched.finish(SLOW)
        self.assertEqual(out, server.server_prefix(VOICES, waiting=True) + "Client 1 disconnected.\n"
                         + "SV: got activate\nQuit.\n")
        self.assertEqual(status, 0, err)
        self.assertIn("ERROR SUMMARY: 0 errors", err)


if __name__ == "__main__":
    e2e.main()
