"""PCs that misbehave in a room: a client that keeps the room's clock and is killed outright gives
its slot back once it has been silent for 10 s, and one that asks the time back to back gets no more
answers than its allowance while an older client still gets every note on time."""
import os
import signal
import socket
import tempfile
import threading
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server

from virtual_room import VirtualRoom  # tools/, on the path once e2e_support is imported

ALLOWANCE, REFILL_PER_SECOND = 80, 8
LEAD_MS = 150


class HostilePcs(unittest.TestCase):
    def test_a_killed_timed_pc_is_let_go_and_its_id_taken_by_the_next(self):
        voices = [[(0, 200, 60), (200, 200, 64)]]
        with tempfile.TemporaryDirectory() as folder, VirtualRoom(4) as room:
            song = server.write_song(os.path.join(folder, "song.mid"), voices)
            started = []

            def start(host, *args):
                started.append(server.Watched(room.start(host, [e2e.TONECAST, *args], stdout=-1, stderr=-1, text=True)))
                return started[-1]

            try:
                performer = start(0, "-s", song, "-w")
                self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
                ghost = start(1, "-c")
                self.assertTrue(ghost.wait_for("Connected! Got id: 0\n"), ghost.out)
                time.sleep(1)  # well into its steady clock requests
                ghost.process.send_signal(signal.SIGKILL)
                killed = time.monotonic()
                self.assertTrue(performer.wait_for("Client 0 disconnected.\n", timeout=20), performer.out)
                self.assertTrue(9 <= time.monotonic() - killed <= 15, time.monotonic() - killed)

                newcomer = start(2, "-c")
                self.assertTrue(newcomer.wait_for("Connected! Got id: 0\n"), newcomer.out)
                room.run(3, [e2e.TONECAST, "-a"], capture_output=True, timeout=10)
                self.assertEqual(performer.finish()[:2], (0, server.server_prefix(voices, waiting=True)
                                                          + "Client 0 disconnected.\nSV: got activate\nQuit.\n"))
                status, out, _ = newcomer.finish()
                self.assertEqual(status, 0)
                self.assertTrue(out.endswith("Connected! Got id: 0\nServer quit.\nQuit.\n"), out)
            finally:
                for watched in started:
                    watched.kill()

    def test_a_clock_flood_gets_its_allowance_while_an_older_client_plays_on_time(self):
        # A gapless line stays on the older client, which registers first: id 0.
        voices = [[(i * 100, 100, 60 + i % 12) for i in range(25)]]
        with tempfile.TemporaryDirectory() as folder:
            performer = server.watch("-s", server.write_song(os.path.join(folder, "song.mid"), voices), "-w")
            try:
                self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
                older = peers.FakeClient()
                self.assertEqual(older.connect(), 0)
                flooder = peers.FakeClient()
                flooder.send(peers.TIMED_CONNECT)
                welcomed = [kind for kind, _, _ in flooder.receive(0.3)]
                self.assertEqual(welcomed, [peers.MSG_ASSIGN_ID, peers.MSG_WELCOME])

                flooding = threading.Event()
                flooding.set()
                flood = {"sent": 0}

                def ask_back_to_back():
                    while flooding.is_set():
                        flooder.send(peers.CLOCK_REQUEST + flood["sent"].to_bytes(4, "little"))
                        flood["sent"] += 1

                asker = threading.Thread(target=ask_back_to_back)
                began = time.monotonic()
                asker.start()
                activated = time.monotonic()
                peers.activate()
                arrivals = self._notes_until_bye(older)
                flooding.clear()
                asker.join()
                flood_seconds = time.monotonic() - began
                replies = [data for data, _ in peers.receive_all(flooder.socket, 0.3)
                           if peers.reply_of(data)[0] == peers.MSG_CLOCK_REPLY]
                status, out, _ = performer.finish()
                older.close()
                flooder.close()
            finally:
                performer.kill()
        self.assertEqual((status, out), (0, server.server_prefix(voices, waiting=True) + "SV: got activate\nQuit.\n"))
        self.assertGreater(flood["sent"], 10 * ALLOWANCE, "the flood was too thin to tell anything")
        self.assertTrue(ALLOWANCE <= len(replies) <= ALLOWANCE + REFILL_PER_SECOND * flood_seconds + 2,
                        (len(replies), flood["sent"], flood_seconds))
        # Every note, at its start on the song's clock: a lead after the activate, as a timed client is in.
        self.assertEqual([note for note, _ in arrivals], [(key, length - 20) for _, length, key in voices[0]])
        for (_, arrived), (start, _, key) in zip(arrivals, voices[0]):
            late_ms = (arrived - activated) * 1000 - LEAD_MS - start
            self.assertTrue(-5 <= late_ms <= 100, (key, start, late_ms))

    @staticmethod
    def _notes_until_bye(client, timeout=20):
        """((key, tone length), arrival) of each note, up to the server's good-bye."""
        arrivals = []
        client.socket.settimeout(timeout)
        while True:
            try:
                kind, key, length = peers.reply_of(client.socket.recv(64))
            except socket.timeout:
                return arrivals
            if kind == peers.MSG_BYE:
                return arrivals
            if kind == peers.MSG_NOTE:
                arrivals.append(((key, length), time.monotonic()))


if __name__ == "__main__":
    e2e.main()
