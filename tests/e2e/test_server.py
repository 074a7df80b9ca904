"""The server against fake clients on its own host: a second server, clients that leave in the
middle of a song, disconnects from strangers, and random datagrams while it plays."""
import os
import pty
import random
import select
import subprocess
import termios
import tempfile
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server

# One gapless line of 100 ms notes: it stays on one client as long as that client stays.
MELODY = [[(i * 100, 100, 50 + i) for i in range(16)]]
# The same with time enough between notes for a test to act between two of them.
SLOW_MELODY = [[(i * 250, 250, 50 + i) for i in range(10)]]


class Server(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.started = []
        self.clients = []

    def tearDown(self):
        for watched in self.started:
            watched.kill()
        for client in self.clients:
            client.close()
        self.folder.cleanup()

    def song(self, voices):
        return server.write_song(os.path.join(self.folder.name, "song.mid"), voices)

    def waiting_server(self, voices):
        watched = server.watch("-s", self.song(voices), "-w")
        self.started.append(watched)
        self.assertTrue(watched.wait_for("SV: Binded to port 27000\n"), watched.out)
        return watched

    def client(self):
        client = peers.FakeClient()
        self.clients.append(client)
        return client

    def assertMelodyPlayedToTheEnd(self, player, performer):
        """The player got every note of MELODY and then the good-bye, and the server ended cleanly
        after its activation. Returns what the server wrote to standard error."""
        notes = player.receive_until_bye()
        self.assertEqual(sorted((key, length) for _, key, length in notes[:-1]), server.sent_notes(MELODY))
        self.assertEqual(notes[-1], (peers.MSG_BYE, 0, 0))
        status, out, err = performer.finish()
        self.assertEqual(out, server.server_prefix(MELODY, waiting=True) + "SV: got activate\nQuit.\n")
        self.assertEqual(status, 0)
        return err

    def test_a_second_server_cannot_bind_the_port(self):
        first = self.waiting_server(MELODY)
        listener = self.client()
        self.assertEqual(listener.connect(), 0)
        status, out, _ = e2e.run("-s", self.song(MELODY))
        self.assertEqual(out, e2e.BANNER + "Running as server\n" + server.loading_lines(MELODY)
                         + "SV: couldn't bind to port 27000\nQuit.\n")
        self.assertEqual(status, 0)
        # It had no clients to say good-bye to, and the first server plays on when told to.
        self.assertEqual(listener.receive(), [])
        peers.activate()
        self.assertMelodyPlayedToTheEnd(listener, first)

    def test_a_client_leaving_mid_song_gets_nothing_more_and_its_slot_is_reused(self):
        performer = self.waiting_server(SLOW_MELODY)
        leaver, stayer, latecomer = self.client(), self.client(), self.client()
        self.assertEqual((leaver.connect(), stayer.connect()), (0, 1))
        peers.activate()
        self.assertTrue(performer.wait_for("SV: got activate\n"))
        # The line starts on client 0, which leaves after five notes; a newcomer takes its slot
        # before the next note and, being the first idle client, the rest of the line.
        leaver.socket.settimeout(5)
        first_notes = [peers.reply_of(leaver.socket.recv(64)) for _ in range(5)]
        leaver.disconnect(0)
        self.assertTrue(performer.wait_for("Client 0 disconnected.\n"), performer.out)
        self.assertEqual(latecomer.connect(), 0)

        rest = latecomer.receive_until_bye()
        self.assertEqual(rest[-1], (peers.MSG_BYE, 0, 0))
        played = first_notes + rest[:-1]
        self.assertEqual(sorted((key, length) for _, key, length in played), server.sent_notes(SLOW_MELODY))
        self.assertEqual(leaver.receive(), [])
        self.assertEqual(stayer.receive(), [(peers.MSG_BYE, 0, 0)])
        status, out, _ = performer.finish()
        self.assertEqual(out, server.server_prefix(SLOW_MELODY, waiting=True)
                         + "SV: got activate\nClient 0 disconnected.\nQuit.\n")
        self.assertEqual(status, 0)

    def test_disconnects_from_strangers_or_for_unknown_ids_are_ignored(self):
        performer = self.waiting_server(MELODY)
        player, stranger = self.client(), self.client()
        self.assertEqual(player.connect(), 0)
        # Before and during the song: the player's id from another socket, ids out of range,
        # and the ids of free slots.
        for client_id in (0, 1, 31, 32, -3, 0x1234, -0x8000):
            stranger.disconnect(client_id)
        peers.activate()
        for client_id in (0, 1, 32, -3):
            stranger.disconnect(client_id)
        self.assertMelodyPlayedToTheEnd(player, performer)
        self.assertEqual(stranger.receive(), [])

    def test_random_datagrams_while_playing_change_nothing_but_what_they_ask(self):
        performer = self.waiting_server(MELODY)
        player, noise = self.client(), self.client()
        self.assertEqual(player.connect(), 0)
        peers.activate()
        self.assertTrue(performer.wait_for("SV: got activate\n"))
        generator = random.Random(27000)
        for _ in range(3000):
            length = generator.choice([0, 1, 2, 3, 6, 10, 1400, 1401, 4000, generator.randrange(0, 1500)])
            data = bytes(generator.randrange(256) for _ in range(length))
            # Connect requests would make the noise a client too; the melody must stay with the player.
            if data[:1] == b"\xff":
                data = b"\x00" + data[1:]
            noise.send(data)
        self.assertEqual(self.assertMelodyPlayedToTheEnd(player, performer), "")
        self.assertEqual(noise.receive(), [])

    def test_what_the_server_tells_on_a_terminal_and_with_stats(self):
        # Two gapless voices that start together: one client plays the first and the second's notes
        # are dropped; two clients would play them all.
        voices = [[(i * 300, 300, 60 + i) for i in range(5)], [(i * 300, 300, 48 + i) for i in range(5)]]
        path = self.song(voices)
        loaded = "Song: 0:01 long, 10 notes; 2 clients play every note.\n"
        terminal, screen = pty.openpty()
        # Keys are read only where they are typed at a terminal: with another standard input, nothing changes.
        performer = server.Watched(subprocess.Popen([e2e.TONECAST, "-s", path, "-w"], stdin=subprocess.DEVNULL,
                                                     stdout=subprocess.PIPE, stderr=screen, text=True))
        self.started.append(performer)
        os.close(screen)
        self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
        player = self.client()
        player.connect()
        peers.activate()
        self.assertEqual(len(player.receive_until_bye()), 6)
        self.assertEqual(performer.finish()[1], server.server_prefix(voices, waiting=True) + "SV: got activate\nQuit.\n")
        shown = b""
        try:
            while True:
                shown += os.read(terminal, 4096)
        except OSError:  # the terminal is gone with the process
            os.close(terminal)
        # The load line, then the status line redrawn in place and at last overwritten by the summary.
        first, status_row, rest = shown.decode().replace("\r\n", "\n").split("\n")
        self.assertEqual((first + "\n", rest), (loaded, ""))
        *redraws, summary = [line.strip() for line in status_row.split("\r") if line.strip()]
        for line in redraws:
            self.assertRegex(line, r"^0:0[01] / 0:01  clients: 1  sent: [1-5]  dropped \(no free client\): [0-5]$")
        # At most four a second, over the song's 1.2 s.
        self.assertTrue(3 <= len(redraws) <= 7, redraws)
        played = "Played 0:01 of 0:01: 5 notes sent, 5 dropped for want of a free client; clients at the end: %d.\n"
        self.assertEqual(summary + "\n", played % 1)

        # --stats tells the same wherever standard error goes, without the status line.
        status, out, err = e2e.run("-s", path, "--stats")
        self.assertEqual((status, out), (0, server.server_prefix(voices, waiting=False) + "Quit.\n"))
        self.assertEqual(err, loaded + played.replace("5 notes sent, 5", "0 notes sent, 10") % 0)

    def test_keys_typed_at_the_server_terminal(self):
        terminal, screen = pty.openpty()
        own_mode = termios.tcgetattr(screen)
        performer = server.Watched(subprocess.Popen([e2e.TONECAST, "-s", self.song(SLOW_MELODY), "-w"], stdin=screen,
                                                     stdout=subprocess.PIPE, stderr=screen, text=True))
        self.started.append(performer)
        os.close(screen)
        shown = b""
        while b"[q] stop\r\n" not in shown and select.select([terminal], [], [], 10)[0]:
            shown += os.read(terminal, 4096)
        self.assertIn(b"\r\nKeys: [space] pause  [<-/->] seek  [+/-] tempo  [n/p] song  [q] stop\r\n", shown)
        key_mode = termios.tcgetattr(terminal)
        self.assertEqual(key_mode[3] & (termios.ICANON | termios.ECHO | termios.ISIG), termios.ISIG)
        # Space, an arrow and a key of no meaning are taken without echo; q ends the run.
        os.write(terminal, b"x \x1b[Cq")
        status, out, _ = performer.finish()
        self.assertEqual((status, out), (0, server.server_prefix(SLOW_MELODY, waiting=True) + "Quit.\n"))
        self.assertEqual(termios.tcgetattr(terminal), own_mode)
        while select.select([terminal], [], [], 0)[0]:
            try:
                shown += os.read(terminal, 4096)
            except OSError:  # the terminal is gone with the process
                break
        os.close(terminal)
        self.assertNotIn(b"x", shown.split(b"[q] stop")[1])


class Sleeping(unittest.TestCase):
    def test_a_server_sleeps_while_waiting_and_between_notes(self):
        # Two notes 1.5 s apart: a loop that spins would burn the whole wait and the whole gap.
        voices = [[(0, 100, 60), (1500, 100, 62)]]
        with tempfile.TemporaryDirectory() as folder:
            song = server.write_song(os.path.join(folder, "song.mid"), voices)
            performer = server.watch("-s", song, "-w")
            player = peers.FakeClient()
            try:
                self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"))
                self.assertEqual(player.connect(), 0)
                self.assertLess(self.processor_seconds_over_one_second(performer), 0.3)
                peers.activate()
                player.socket.settimeout(5)
                self.assertEqual(peers.reply_of(player.socket.recv(64)), (peers.MSG_NOTE, 60, 80))
                self.assertLess(self.processor_seconds_over_one_second(performer), 0.3)
                self.assertEqual(player.receive_until_bye(), [(peers.MSG_NOTE, 62, 80), (peers.MSG_BYE, 0, 0)])
                self.assertEqual(performer.finish()[0], 0)
            finally:
                performer.kill()
                player.close()

    @staticmethod
    def processor_seconds_over_one_second(watched):
        def used():
            with open("/proc/%d/stat" % watched.process.pid) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        before = used()
        time.sleep(1)
        return used() - before


if __name__ == "__main__":
    e2e.main()
