"""A room as real life makes it, each PC a host of a virtual room: a client behind a slow or lossy
link, Ctrl-C and its kin, output cut short by `head`, and two servers on one subnet."""
import os
import re
import signal
import sys
import tempfile
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server
from link_relay import start_relay

sys.path.insert(0, os.path.join(e2e.REPO, "tools"))
from virtual_room import VirtualRoom  # noqa: E402

CLIENT_START = e2e.BANNER + "Running as client\nConnecting...\n"


class RoughRoom(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.started = []
        self.addCleanup(lambda: [watched.kill() for watched in self.started])

    def song(self, name, voices):
        return server.write_song(os.path.join(self.folder.name, name), voices)

    def start(self, room, host, *argv):
        watched = server.Watched(room.start(host, list(argv), stdout=-1, stderr=-1, text=True))
        self.started.append(watched)
        return watched

    def server_bound(self, room, host, *args):
        performer = self.start(room, host, e2e.TONECAST, *args)
        self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
        return performer

    @staticmethod
    def received_from(capture, host, server_host):
        """What the host received from the server on the other host, in order."""
        source = (VirtualRoom.address(server_host), peers.SERVER_PORT)
        return [d.payload for d in capture.datagrams(host) if d.source == source]

    def wait_until(self, condition, what):
        deadline = time.monotonic() + 10
        while not condition():
            self.assertLess(time.monotonic(), deadline, what())
            time.sleep(0.05)

    def test_one_slot_per_client_over_a_slow_and_a_lossy_link(self):
        # Host 0 serves, host 1 relays for the client behind it. Over 4 s, a 1.2 s round trip
        # makes the client ask twice, and half of the datagrams lost each way (seed 15) four times;
        # every answer names the one slot. The waiting server then ends on Ctrl-C, which tells the
        # client good-bye over the slow link.
        voices = [[(0, 100, 60)]]
        song = self.song("song.mid", voices)
        for delay_ms, loss in ((600, 0.0), (0, 0.5)):
            with VirtualRoom(2) as room, room.capture() as capture:
                behind = room.add_host_behind(1)
                performer = self.server_bound(room, 0, "-s", song, "-w")
                relay = start_relay(room, 1, behind, VirtualRoom.address(0), delay_ms, loss, seed=15)
                self.addCleanup(relay.wait)
                self.addCleanup(relay.kill)
                player = self.start(room, behind, e2e.TONECAST, "-c")
                time.sleep(4)
                answers = self.received_from(capture, 1, 0)
                self.assertGreater(len(answers), 1)
                self.assertEqual(set(answers), {peers.reply(peers.MSG_ASSIGN_ID, 0)})
                self.assertLessEqual(set(re.findall("Connected! Got id: (.*)\n", player.out)), {"0"})
                if loss:
                    continue
                performer.process.send_signal(signal.SIGINT)
                self.assertEqual(performer.finish(), (0, server.server_prefix(voices, waiting=True) + "Quit.\n", ""))
                status, out, _ = player.finish()
                self.assertEqual((status, out[-19:]), (0, "Server quit.\nQuit.\n"))

    def test_each_stop_signal_ends_a_playing_server_and_a_client_mid_tone_the_normal_way(self):
        # Client 0 holds one long tone; client 1 plays a short note twice a second. The client
        # mid-tone is stopped first: its tone ends, it says good-bye and the server frees its slot.
        # Then the server is stopped: it says good-bye to client 1, which ends at once.
        voices = [[(0, 20000, 60)], [(i * 500, 100, 64) for i in range(40)]]
        song = self.song("song.mid", voices)
        for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with VirtualRoom(4) as room, room.capture() as capture:
                performer = self.server_bound(room, 0, "-s", song, "-w")
                players = []
                for host in (1, 2):
                    players.append(self.start(room, host, e2e.TONECAST, "-c"))
                    self.assertTrue(players[-1].wait_for("Connected! Got id: %d\n" % (host - 1)), players[-1].out)
                room.run(3, [e2e.TONECAST, "-a"], capture_output=True, timeout=10)
                time.sleep(1)
                players[0].process.send_signal(stop)
                sent = time.monotonic()
                status, out, _ = players[0].finish()
                self.assertLess(time.monotonic() - sent, 1, stop)
                self.assertEqual((status, out), (0, CLIENT_START + "Connected! Got id: 0\nQuit.\n"), stop)
                self.assertTrue(performer.wait_for("Client 0 disconnected.\n"), stop)

                performer.process.send_signal(stop)
                status, out, _ = performer.finish()
                self.assertEqual((status, out), (0, server.server_prefix(voices, waiting=True)
                                                 + "SV: got activate\nClient 0 disconnected.\nQuit.\n"), stop)
                status, out, _ = players[1].finish(timeout=2)
                self.assertEqual((status, out), (0, CLIENT_START + "Connected! Got id: 1\nServer quit.\nQuit.\n"))
                self.assertEqual(self.received_from(capture, 1, 0)[-1:], [peers.reply(peers.MSG_NOTE, 60, 19980)])
                self.assertEqual(self.received_from(capture, 2, 0)[-1], peers.reply(peers.MSG_BYE))
                good_byes = [d.payload for d in capture.datagrams(0) if d.payload[2:3] == b"\x05"]
                self.assertEqual(good_byes, [peers.good_bye(0), peers.good_bye(1)], stop)

    def test_a_server_and_a_client_run_on_after_head_has_read_their_first_line(self):
        voices = [[(0, 200, 60), (300, 200, 62)]]
        song = self.song("song.mid", voices)
        first_line = "%s | head -1; echo status ${PIPESTATUS[0]}"
        with VirtualRoom(3) as room, room.capture() as capture:
            performer = self.start(room, 0, "bash", "-c", first_line % (e2e.TONECAST + " -s " + song + " -w"))
            player = self.start(room, 1, "bash", "-c", first_line % (e2e.TONECAST + " -c"))
            self.wait_until(lambda: peers.reply(peers.MSG_ASSIGN_ID, 0) in self.received_from(capture, 1, 0),
                            capture.datagrams)
            room.run(2, [e2e.TONECAST, "-a"], capture_output=True, timeout=10)
            self.assertEqual(performer.finish()[:2], (0, e2e.BANNER + "status 0\n"))
            self.assertEqual(player.finish()[:2], (0, e2e.BANNER + "status 0\n"))
            notes = [peers.reply(peers.MSG_NOTE, 60, 180), peers.reply(peers.MSG_NOTE, 62, 180)]
            self.assertEqual(self.received_from(capture, 1, 0)[-3:], notes + [peers.reply(peers.MSG_BYE)])
            self.assertEqual([d.payload for d in capture.datagrams(0) if d.payload[2:3] == b"\x05"], [peers.good_bye(0)])

    def test_a_client_follows_the_first_of_two_servers(self):
        # Both servers answer the client's broadcast; the client keeps the first and gives the
        # other its slot back at once. One activate starts both songs; only its server's reach it.
        songs = [[[(0, 150, 60), (150, 150, 62)]], [[(0, 100, 70), (200, 100, 72)]]]
        with VirtualRoom(4) as room, room.capture() as capture:
            performers = [self.server_bound(room, host, "-s", self.song("%d.mid" % host, songs[host]), "-w")
                          for host in (0, 1)]
            player = self.start(room, 2, e2e.TONECAST, "-c")
            self.wait_until(lambda: any(p.out.endswith("Client 0 disconnected.\n") for p in performers),
                            capture.datagrams)
            other = [p.out.endswith("Client 0 disconnected.\n") for p in performers].index(True)
            chosen = 1 - other
            room.run(3, [e2e.TONECAST, "-a"], capture_output=True, timeout=10)
            for host, performer in enumerate(performers):
                self.assertEqual(performer.finish()[0], 0)
            status, out, _ = player.finish()
            self.assertEqual((status, out), (0, CLIENT_START + "Connected! Got id: 0\nServer quit.\nQuit.\n"))
            self.assertEqual(self.received_from(capture, 2, other), [peers.reply(peers.MSG_ASSIGN_ID, 0)])
            notes = [peers.reply(peers.MSG_NOTE, key, length - 20) for _, length, key in songs[chosen][0]]
            self.assertEqual(self.received_from(capture, 2, chosen),
                             [peers.reply(peers.MSG_ASSIGN_ID, 0)] + notes + [peers.reply(peers.MSG_BYE)])
            for host in (0, 1):
                self.assertEqual([d.payload for d in capture.datagrams(host) if d.payload[2:3] == b"\x05"],
                                 [peers.good_bye(0)])


if __name__ == "__main__":
    e2e.main()
