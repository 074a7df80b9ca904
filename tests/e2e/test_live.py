"""A live room: `tonecast --live --rtp-midi` with no song, an RTP-MIDI player (rtp_midi_peer.py) and
fake clients of each kind: one that plays on arrival, one that keeps the clock (version 2) and one
of live playing (version 4)."""
import select
import signal
import struct
import subprocess
import time
import unittest

import e2e_support as e2e
import fake_peers as fake
import server_support as server
from rtp_midi_peer import Peer

RTP_MIDI_PORT = 5004
MSG_NOTE_OFF = 11


def live_server(*options):
    return server.Watched(subprocess.Popen([e2e.TONECAST, "--live", *options], stdin=subprocess.DEVNULL,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))


def arrivals(clients, seconds):
    """For each client, [(time.monotonic() in us, datagram)] that arrive for a while."""
    got = {client.socket: [] for client in clients}
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for sock in select.select(list(got), [], [], max(0.0, deadline - time.monotonic()))[0]:
            got[sock].append((time.monotonic() * 1e6, sock.recv(2048)))
    return [got[client.socket] for client in clients]


class Live(unittest.TestCase):
    def test_held_keys_are_sliced_until_let_go_on_every_kind_of_client(self):
        performer = live_server("--rtp-midi")
        self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"))
        clients = [fake.FakeClient() for _ in range(3)]
        for client in clients:
            self.addCleanup(client.close)
        for client_id, (client, connect) in enumerate(zip(clients, (fake.CONNECT, fake.TIMED_CONNECT,
                                                                     fake.LIVE_CONNECT))):
            client.send(connect)
            self.assertEqual(client.receive(0.3)[0][:2], (fake.MSG_ASSIGN_ID, client_id))
        peer = Peer("127.0.0.1", RTP_MIDI_PORT)
        self.addCleanup(peer.control.close)
        self.addCleanup(peer.data.close)
        peer.invite()
        peer.notes([60, 64, 67], 100)
        held = arrivals(clients, 0.9)
        peer.notes([60, 64, 67], 0)
        let_go = time.monotonic() * 1e6
        after = arrivals(clients, 0.6)
        peer.bye()
        performer.process.send_signal(signal.SIGINT)
        status, out, err = performer.finish()
        self.assertEqual(status, 0, err)
        self.assertEqual(out, e2e.BANNER + "Running as server, live\nSV: Binded to port 27000\nQuit.\n")
        self.assertEqual(peer.failures, [])
        notes = [[struct.unpack("<hhhI", data[:10]) if len(data) == 10 else struct.unpack("<hhh", data)
                  for _, data in got if data[0] in (fake.MSG_NOTE, fake.MSG_TIMED_NOTE, MSG_NOTE_OFF)]
                 for got in (held[i] + after[i] for i in range(3))]
        # On arrival: 200 ms tones, one after another.
        self.assertGreaterEqual(len(notes[0]), 4)
        self.assertEqual(set(notes[0]), {(fake.MSG_NOTE, 60, 200)})
        for client, key in ((1, 64), (2, 67)):
            slices = [note for note in notes[client] if note[0] == fake.MSG_TIMED_NOTE]
            self.assertGreaterEqual(len(slices), 4)
            self.assertEqual({note[:3] for note in slices}, {(fake.MSG_TIMED_NOTE, key, 200)})
            moments = [note[3] for note in slices]
            self.assertEqual([(b - a) % 2 ** 32 for a, b in zip(moments, moments[1:])], [200000] * (len(moments) - 1))
            first = next(at for at, data in held[client] if data[0] == fake.MSG_TIMED_NOTE)
            self.assertLessEqual((moments[0] - int(first)) % 2 ** 32, 20000)  # the live lead, no more
        # Only the client of live playing is told the end, a live lead after the key was let go.
        self.assertEqual([n for n in notes[1] + notes[0] if n[0] == MSG_NOTE_OFF], [])
        self.assertEqual([n[:3] for n in notes[2] if n[0] == MSG_NOTE_OFF], [(MSG_NOTE_OFF, 67, 0)])
        # Slicing stops at the let-go: nothing comes later than what was sent before it ends.
        for got in after:
            late = [at for at, data in got if data[0] in (fake.MSG_NOTE, fake.MSG_TIMED_NOTE) and at > let_go + 400000]
            self.assertEqual(late, [])

    def test_a_room_with_no_player_says_how_to_add_one_and_runs_until_stopped(self):
        performer = live_server()
        self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"))
        client = fake.FakeClient()
        self.addCleanup(client.close)
        client.send(fake.ACTIVATE)  # no song to start
        time.sleep(0.3)
        performer.process.send_signal(signal.SIGINT)
        status, out, _ = performer.finish()
        self.assertEqual((status, out), (0, e2e.BANNER + "Running as server, live\nNo live player can join: add --web "
                                         "for the conductor's page or --rtp-midi for RTP-MIDI.\n"
                                         "SV: Binded to port 27000\nQuit.\n"))

    def test_bad_values_are_refused(self):
        for option, value, form in (("--live-lead", "1001", "a number of milliseconds from 0 to 1000, such as 20"),
                                    ("--rtp-midi", "65535", "a port from 1 to 65534, such as 5004, or nothing for 5004")):
            status, out, err = e2e.run("--live", option, value)
            self.assertEqual((status, err), (2, "tonecast: %s takes %s\n" % (option, form)))


if __name__ == "__main__":
    e2e.main()
