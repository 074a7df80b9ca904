"""A room as real life makes it, each PC a host of a virtual room: a client behind a slow or lossy
link, stop signals, output cut short by `head`, and two servers on one subnet."""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server
import tone_capture
from link_relay import start_relay

sys.path.insert(0, os.path.join(e2e.REPO, "tools"))
from virtual_room import VirtualRoom  # noqa: E402

CLIENT_START = e2e.BANNER + "Running as client\nConnecting...\n"
ID_0 = peers.reply(peers.MSG_ASSIGN_ID, 0)


class RoughRoom(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.started = []
        self.addCleanup(lambda: [watched.kill() for watched in self.started])

    def start(self, room, host, *args, env=None):
        self.started.append(server.Watched(room.start(host, [e2e.TONECAST, *args], stdout=-1, stderr=-1,
                                                      text=True, env=env)))
        return self.started[-1]

    def start_cut_short(self, room, host, *args):
        """tonecast on the host, whose output is closed after its first line, as `| head -1` does."""
        process = room.start(host, [e2e.TONECAST, *args], stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait()))
        with process.stdout:
            self.assertEqual(process.stdout.readline(), e2e.BANNER)
        return process

    def serve(self, room, host, voices, cut_short=False):
        song = server.write_song(os.path.join(self.folder.name, "%d.mid" % host), voices)
        return (self.start_cut_short if cut_short else self.start)(room, host, "-s", song, "-w")

    def wait_until(self, condition, what):
        deadline = time.monotonic() + 10
        while not condition():
            self.assertLess(time.monotonic(), deadline, what())
            time.sleep(0.05)

    @staticmethod
    def received(capture, host, server_host):
        source = (VirtualRoom.address(server_host), peers.SERVER_PORT)
        return [d.payload for d in capture.datagrams(host) if d.source == source]

    @staticmethod
    def good_byes(capture, host):
        return [d.payload for d in capture.datagrams(host) if d.payload[2:3] == b"\x05"]

    def test_one_slot_per_client_over_a_slow_or_a_lossy_link(self):
        # Host 1 relays for the client behind it. Over 4 s a 1.2 s round trip makes the client ask
        # twice, half the datagrams lost each way (seed 15) four times: each answer names one slot.
        # Then the slow link's notes come 450 ms late: the client plays nearly all whole, says why once.
        song = [[(i * 250, 200, 60 + i) for i in range(16)]]
        for delay_ms, loss in ((600, 0.0), (0, 0.5)):
            with VirtualRoom(3) as room, room.capture() as capture, tone_capture.Capture() as tones:
                behind = room.add_host_behind(1)
                self.assertTrue(self.serve(room, 0, song).wait_for("SV: Binded to port 27000\n"))
                relay = start_relay(room, 1, behind, VirtualRoom.address(0), delay_ms, loss, seed=15)
                self.addCleanup(lambda process=relay: (process.kill(), process.wait()))
                player = self.start(room, behind, "-c", env=tones.env)
                time.sleep(4)
                ids = [d for d in self.received(capture, 1, 0) if d[:2] == ID_0[:2]]
                self.assertGreater(len(ids), 1)
                self.assertEqual(set(ids), {ID_0})
                self.assertLessEqual(set(re.findall("Connected! Got id: (.*)\n", player.out)), {"0"})
                if loss == 0 and not tone_capture.pc_speaker_present():
                    room.run(2, [e2e.TONECAST, "-a"], capture_output=True, timeout=10)
                    self.assertEqual(player.finish()[0], 0)
                    self.assertEqual(player.err.count("the server's --lead is too short for this link"), 1)
                    heard = [round(ms) for _, ms in tones.measure().segments]
                    self.assertEqual(heard, [180] * max(12, len(heard)), player.err)

    def test_each_stop_signal_ends_a_playing_server_and_a_client_mid_tone_the_normal_way(self):
        # Client 0 holds a long tone; client 1, whose output head cuts short, plays short notes.
        # The signal ends client 0's tone and run, with its good-bye; then the server's run, whose
        # good-bye ends client 1.
        voices = [[(0, 20000, 60)], [(i * 500, 100, 64) for i in range(40)]]
        for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with VirtualRoom(4) as room, room.capture() as capture:
                performer = self.serve(room, 0, voices)
                self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
                players = [self.start(room, 1, "-c")]
                self.assertTrue(players[0].wait_for("Connected! Got id: 0\n"), players[0].out)
                players.append(self.start_cut_short(room, 2, "-c"))
                room.run(3, [e2e.TONECAST, "-a"], capture_output=True, timeout=10)
                time.sleep(1)
                players[0].process.send_signal(stop)
                sent = time.monotonic()
                self.assertEqual(players[0].finish()[:2], (0, CLIENT_START + "Connected! Got id: 0\nQuit.\n"))
                self.assertLess(time.monotonic() - sent, 1)
                self.assertTrue(performer.wait_for("Client 0 disconnected.\n"), stop)
                performer.process.send_signal(stop)
                self.assertEqual(performer.finish()[:2], (0, server.server_prefix(voices, waiting=True)
                                                          + "SV: got activate\nClient 0 disconnected.\nQuit.\n"))
                self.assertEqual(players[1].wait(2), 0)
                self.assertEqual(self.received(capture, 2, 0)[-1], peers.reply(peers.MSG_BYE))
                self.assertEqual(self.good_byes(capture, 0), [peers.good_bye(0), peers.good_bye(1)])

    def test_a_client_follows_the_first_of_two_servers(self):
        # Both answer the client's broadcast; it keeps the first and hands the other its slot back
        # at once. One activate starts both songs; only its own server's notes reach it. Server
        # 1's output is cut short by head. The client plays as older ones do, so that what it is
        # sent is the older protocol's, to the byte.
        songs = [[[(0, 150, 60), (150, 150, 62)]], [[(0, 100, 70), (200, 100, 72)]]]
        with VirtualRoom(4) as room, room.capture() as capture:
            performers = [self.serve(room, 0, songs[0]), self.serve(room, 1, songs[1], cut_short=True)]
            self.assertTrue(performers[0].wait_for("SV: Binded to port 27000\n"), performers[0].out)
            player = self.start(room, 2, "-c", "--protocol", "1")
            self.wait_until(lambda: self.good_byes(capture, 0) + self.good_byes(capture, 1), capture.datagrams)
            other = 0 if self.good_byes(capture, 0) else 1
            room.run(3, [e2e.TONECAST, "-a"], capture_output=True, timeout=10)
            self.assertEqual((performers[0].finish()[0], performers[1].wait(20)), (0, 0))
            self.assertEqual(player.finish()[:2], (0, CLIENT_START + "Connected! Got id: 0\nServer quit.\nQuit.\n"))
            notes = [peers.reply(peers.MSG_NOTE, key, length - 20) for _, length, key in songs[1 - other][0]]
            self.assertEqual(self.received(capture, 2, 1 - other), [ID_0] + notes + [peers.reply(peers.MSG_BYE)])
            self.assertEqual(self.received(capture, 2, other), [ID_0])
            self.assertEqual(self.good_byes(capture, 0) + self.good_byes(capture, 1), [peers.good_bye(0)] * 2)


if __name__ == "__main__":
    e2e.main()
