"""Floods: 100,000 random datagrams at a playing server with a full room of 32 fake clients, and a
playing client flooded with garbage. Neither may crash, lose a note by its own fault or end early.

The server's song is played twice, quietly and under the flood, and the lateness of the notes'
arrival against their start is printed for both (informative only: nothing here is a timing target;
bench/server_lateness --flood measures it with the kernel's timestamps)."""
import os
import random
import selectors
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server
import tone_capture

CLIENTS = 32
FLOOD_DATAGRAMS = 100_000
FLOOD_SECONDS = 4.0

# Eight gapless lines, each note naming itself by (key, length): a line stays on its client
# whatever the flood does to the server's timing, so every note must arrive.
VOICES = [[(i * (100 + 5 * v), 100 + 5 * v, 30 + i) for i in range(45)] for v in range(8)]
STARTS = {(key, length - 20): start for voice in VOICES for start, length, key in voice}

# Runs as its own process, so that the flood does not share an interpreter with the receivers.
# Sends from 8 sockets of its own (never a client's address) to the server's two addresses;
# prints how many datagrams the kernel took.
FLOODER = r"""
import random, socket, struct, sys, time
count, seconds, seed = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
rng = random.Random(seed)
senders = []
for _ in range(8):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    senders.append(s)
targets = [("127.0.0.1", 27000), ("198.18.0.1", 27000)]
noise = rng.randbytes(1 << 16)

def datagram():
    roll = rng.random()
    if roll < 0.05:
        return b"\xff" + noise[:9]                                   # connect: the room is full
    if roll < 0.10:
        return b"\xfe" + bytes(9)                                    # activate: already playing
    if roll < 0.25:                                                  # disconnect, not from the client
        return struct.pack("<h", rng.choice((rng.randrange(-40, 40), rng.randrange(-32768, 32768)))) + b"\x05" + bytes(7)
    if roll < 0.35:                                                  # what a server sends
        return struct.pack("<hhh", rng.choice((2, 4, 5)), rng.randrange(-32768, 32768), rng.randrange(-32768, 32768))
    length = rng.choice((0, 1, 2, 3, 4, 6, 10, 1400, rng.randrange(0, 1401)))
    offset = rng.randrange(0, len(noise) - length)
    data = noise[offset:offset + length]
    return b"\x00" + data[1:] if data[:1] == b"\xff" else data        # never a connect by chance

sent = 0
begun = time.monotonic()
for i in range(count):
    if i % 100 == 0:
        ahead = begun + seconds * i / count - time.monotonic()
        if ahead > 0:
            time.sleep(ahead)
    try:
        senders[i % 8].sendto(datagram(), targets[i % 2])
        sent += 1
    except OSError:
        pass
print(sent, flush=True)
"""


def udp_drops():
    """Datagrams the kernel of this private network dropped for want of room in a socket's queue."""
    with open("/proc/net/snmp") as snmp:
        rows = [line.split() for line in snmp if line.startswith("Udp:")]
    return int(dict(zip(rows[0], rows[1]))["RcvbufErrors"])


def figures(lateness):
    ordered = sorted(lateness)
    if not ordered:
        return "no notes"
    pick = lambda fraction: ordered[min(len(ordered) - 1, int(fraction * (len(ordered) - 1) + 0.5))]
    return "p50 %.1f  p99 %.1f  max %.1f ms" % (pick(0.5), pick(0.99), ordered[-1])


class ServerFlood(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.song = server.write_song(os.path.join(self.folder.name, "song.mid"), VOICES)
        self.clients = [peers.FakeClient() for _ in range(CLIENTS)]
        for client in self.clients:
            self.addCleanup(client.close)

    def play(self, flood):
        """Plays the song to the 32 clients, flooded or not. Returns (notes as (client, key, length),
        lateness in ms of each note, good-byes per client, server output, flooder's count)."""
        performer = server.watch("-s", self.song, "-w")
        self.addCleanup(performer.kill)
        self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
        self.assertEqual([client.connect() for client in self.clients], list(range(CLIENTS)))
        # The room is full: one more gets no answer.
        extra = peers.FakeClient()
        self.addCleanup(extra.close)
        extra.send(peers.CONNECT)

        selector = selectors.DefaultSelector()
        for index, client in enumerate(self.clients):
            client.socket.setblocking(False)
            selector.register(client.socket, selectors.EVENT_READ, index)
        origin = time.monotonic()
        peers.activate()
        flooder = None
        if flood:
            flooder = subprocess.Popen([sys.executable, "-c", FLOODER, str(FLOOD_DATAGRAMS), str(FLOOD_SECONDS), "27000"],
                                       stdout=subprocess.PIPE, text=True)
            self.addCleanup(lambda: flooder.poll() is None and flooder.kill())
        notes, lateness, byes = [], [], [0] * CLIENTS
        deadline = origin + 40
        while sum(byes) < CLIENTS and time.monotonic() < deadline:
            for key, _ in selector.select(timeout=1.0):
                arrival = time.monotonic()
                try:
                    data = key.fileobj.recv(2048)
                except BlockingIOError:
                    continue
                kind, word1, word2 = peers.reply_of(data)
                if kind == peers.MSG_BYE:
                    byes[key.data] += 1
                    continue
                notes.append((key.data, kind, word1, word2))
                if (word1, word2) in STARTS:
                    lateness.append((arrival - origin) * 1000 - STARTS[(word1, word2)])
        selector.close()
        for client in self.clients:
            client.socket.setblocking(True)
        flooded = int(flooder.communicate(timeout=30)[0]) if flooder else 0
        status, out, err = performer.finish()
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(extra.receive(quiet_seconds=0.2), [])
        return notes, lateness, byes, out, flooded

    def test_a_full_room_plays_to_the_end_through_100000_random_datagrams(self):
        quiet = self.play(flood=False)
        drops_before = udp_drops()
        notes, lateness, byes, out, flooded = self.play(flood=True)
        dropped = udp_drops() - drops_before
        sys.stderr.write("\nflood: %d datagrams sent, %d dropped by full socket queues\n" % (flooded, dropped))
        sys.stderr.write("note lateness, quiet:   %s\n" % figures(quiet[1]))
        sys.stderr.write("note lateness, flooded: %s\n" % figures(lateness))
        self.assertEqual(flooded, FLOOD_DATAGRAMS)

        for run_notes, run_byes, run_out in ((quiet[0], quiet[2], quiet[3]), (notes, byes, out)):
            # No stranger released anybody or joined, the song ended normally, every client was told.
            self.assertEqual(run_out, server.server_prefix(VOICES, waiting=True) + "SV: got activate\nQuit.\n")
            self.assertEqual(run_byes, [1] * CLIENTS)
            self.assertTrue(all(kind == peers.MSG_NOTE for _, kind, _, _ in run_notes))
            self.assertEqual(sorted((key, length) for _, _, key, length in run_notes), server.sent_notes(VOICES))
            # Each line stayed on one client: a note never hopped to another mid-line.
            owner = {}
            for client, _, key, length in run_notes:
                voice = (length + 20 - 100) // 5
                self.assertEqual(owner.setdefault(voice, client), client, (voice, key))


class ClientFlood(unittest.TestCase):
    # Keys whose frequencies (110 to 7040 Hz) fill a 100 ms tone with whole cycles, so each
    # measures exactly; three rounds of seven.
    KEYS = [45, 57, 69, 81, 93, 105, 117] * 3
    TONE_MS = 100
    GARBAGE_PER_TONE = 100

    def test_a_client_flooded_with_garbage_plays_every_note(self):
        fake_server = peers.udp_listener(peers.SERVER_PORT)
        flooder = peers.udp_listener()
        self.addCleanup(fake_server.close)
        self.addCleanup(flooder.close)
        with tone_capture.Capture() as capture:
            if tone_capture.pc_speaker_present():
                self.skipTest("tones go to the PC speaker, not to ALSA")
            process, address = peers.start_client(fake_server, env=capture.env)
            self.addCleanup(lambda: process.poll() is None and (process.kill(), process.communicate()))
            fake_server.sendto(peers.reply(peers.MSG_ASSIGN_ID, 9), address)
            rng = random.Random(4)
            drops_before = udp_drops()
            garbage = 0
            for key in self.KEYS:
                fake_server.sendto(peers.reply(peers.MSG_NOTE, key, self.TONE_MS), address)
                # While the tone plays the garbage waits in the client's queue: as many as fit,
                # then a pause a little longer than the tone, so the queue never overflows.
                for _ in range(self.GARBAGE_PER_TONE):
                    flooder.sendto(self.garbage(rng), address)
                    garbage += 1
                time.sleep(self.TONE_MS * 1.5 / 1000)
            dropped = udp_drops() - drops_before
            # The good-bye comes from the server, the last sender, which gets the disconnect.
            fake_server.sendto(peers.reply(peers.MSG_BYE), address)
            out, _ = process.communicate(timeout=20)
            sys.stderr.write("\nclient flood: %d garbage datagrams around %d notes, %d dropped by the kernel\n"
                             % (garbage, len(self.KEYS), dropped))
            self.assertEqual(out, e2e.BANNER + "Running as client\nConnecting...\n"
                             + "Connected! Got id: 9\nServer quit.\nQuit.\n")
            self.assertEqual(process.returncode, 0)
            frequencies = {117: 7040.0, 45: 110.0, 57: 220.0, 69: 440.0, 81: 880.0, 93: 1760.0, 105: 3520.0}
            self.assertEqual(capture.measure().segments,
                             [(frequencies[key], float(self.TONE_MS)) for key in self.KEYS],
                             "the kernel dropped %d datagrams" % dropped)
            self.assertEqual([d for d, _ in peers.receive_all(fake_server)],
                             [peers.good_bye(9)])

    @staticmethod
    def garbage(rng):
        """Random bytes of any length up to 1400 whose word 0 is no kind the client acts on."""
        data = rng.randbytes(rng.choice((1, 2, 3, 6, 10, 64, rng.randrange(0, 1401))))
        kind = struct.unpack("<h", (data + bytes(2))[:2])[0]
        return b"\x00" + data[1:] if kind in (peers.MSG_ASSIGN_ID, peers.MSG_NOTE, peers.MSG_BYE) else data


if __name__ == "__main__":
    e2e.main()
