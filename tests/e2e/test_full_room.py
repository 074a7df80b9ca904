"""A full room of 32 fake clients that keep leaving and joining while a dense song plays: each
newcomer gets the lowest free id, a freed slot never gets another note, every note of the song
reaches exactly one client, and the good-bye goes to exactly the clients registered at the end.
A browser page that comes to the full room is told so and takes the first slot freed."""
import os
import random
import tempfile
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server

CLIENTS = 32
ROUNDS = 60
# After the server has printed a release, notes it sent before may still be on their way.
SETTLE_SECONDS = 0.05

# Ten voices of 110 ms notes every 150 ms, offset from each other: a note never begins where one
# ended, so each goes to the first idle client, and about eight clients sound at once. Twenty
# idle clients are left even while several are away, so no note has to be dropped. About 11 s.
VOICES = [[(v * 15 + i * 150, 110, 20 + v * 8 + i % 8) for i in range(72)] for v in range(10)]


class Member:
    """One fake client's socket and everything it has received, in order."""

    def __init__(self):
        self.client = peers.FakeClient()
        self.received = []        # (kind, word 1, word 2)
        self.retired_at = None    # len(received) when its slot was freed and it did not come back

    def drain(self):
        self.client.socket.setblocking(False)
        try:
            while True:
                self.received.append(peers.reply_of(self.client.socket.recv(64)))
        except BlockingIOError:
            pass
        finally:
            self.client.socket.setblocking(True)

    def join(self, timeout=5):
        """Sends a connect request; returns the datagrams before the reply and the id replied."""
        self.drain()
        before = len(self.received)
        self.client.send(peers.CONNECT)
        self.client.socket.settimeout(timeout)
        while True:
            self.received.append(peers.reply_of(self.client.socket.recv(64)))
            if self.received[-1][0] == peers.MSG_ASSIGN_ID:
                return self.received[before:-1], self.received[-1][1]

    def notes(self):
        return [(key, length) for kind, key, length in self.received if kind == peers.MSG_NOTE]


def wait_for_releases(performer, count, timeout=10):
    """True once the server has printed count releases in all."""
    deadline = time.monotonic() + timeout
    while performer.out.count(" disconnected.\n") < count:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return True


class FullRoom(unittest.TestCase):
    def test_32_clients_leave_and_join_while_a_dense_song_plays(self):
        with tempfile.TemporaryDirectory() as folder:
            song = server.write_song(os.path.join(folder, "song.mid"), VOICES)
            performer = server.watch("-s", song, "-w", "--web", "--conductor-key", "full-room-conductor")
            members = []
            self.addCleanup(lambda: [member.client.close() for member in members])
            try:
                self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
                self.play_with_churn(performer, members)
                status, out, err = performer.finish(timeout=30)
            finally:
                performer.kill()
        self.assertEqual((status, err), (0, "Phones and laptops join the room by opening:\n"
                                            "  http://198.18.0.1:27080/\n  http://127.0.0.1:27080/\n"
                                            "The conductor steers the room from:\n"
                                            "  http://198.18.0.1:27080/conductor/full-room-conductor\n"
                                            "  http://127.0.0.1:27080/conductor/full-room-conductor\n"))
        self.assertTrue(out.startswith(server.server_prefix(VOICES, waiting=True) + "Client 5 disconnected.\n" * 2
                                       + "SV: got activate\n"), out)
        self.assertTrue(out.endswith("Quit.\n"), out)
        self.assertEqual(out.count(" disconnected.\n"), self.releases)

        registered = [m for m in self.slots if m is not None]
        for member in members:
            member.drain()
            byes = [r for r in member.received if r[0] == peers.MSG_BYE]
            self.assertEqual(byes, [(peers.MSG_BYE, 0, 0)] if member in registered else [])
            if member.retired_at is not None:
                # Nothing at all after its slot was freed.
                self.assertEqual(member.received[member.retired_at:], [])
        self.assertEqual(sorted(n for m in members for n in m.notes()), server.sent_notes(VOICES))

    def page_waits_for_a_slot(self, performer):
        """A page joins the full room, is told so, gets the slot a PC frees, and leaves again; the
        PC then comes back to it. Returns the releases the server has printed."""
        page = peers.FakePage()
        page.send("join")
        song, full = page.receive()["song"], page.receive()
        self.assertEqual(({k: song[k] for k in ("length", "position", "at", "tempo")}, full),
                         ({"length": 10895, "position": None, "at": None, "tempo": 100}, {"full": True}))
        pc = self.slots[5]
        pc.client.disconnect(5)
        self.assertEqual([page.receive(), page.receive()], [{"id": 5}, {"welcome": 3}])
        page.close()
        self.assertTrue(wait_for_releases(performer, 2), performer.out)
        pc.drain()
        self.slots[5] = None
        early, client_id = pc.join()
        self.assertEqual((early, client_id), ([], 5))
        self.slots[5] = pc
        return 2

    def play_with_churn(self, performer, members):
        rng = random.Random(32)
        self.slots = [None] * CLIENTS   # the model: which member holds each id

        def join(member):
            expected = self.slots.index(None)
            early, client_id = member.join()
            # A member coming back may find notes from before it left, never any since.
            self.assertEqual(early, [], "notes after the slot was freed")
            self.assertEqual(client_id, expected)
            self.slots[client_id] = member

        for _ in range(CLIENTS):
            members.append(Member())
            join(members[-1])
        outsider = Member()
        members.append(outsider)
        outsider.client.send(peers.CONNECT)  # a full room does not answer
        releases = self.page_waits_for_a_slot(performer)

        peers.activate()
        self.assertTrue(performer.wait_for("SV: got activate\n"), performer.out)
        for _ in range(ROUNDS):
            leavers = rng.sample(range(CLIENTS), rng.randint(1, 4))
            for client_id in leavers:
                self.slots[client_id].client.disconnect(client_id)
            releases += len(leavers)
            self.assertTrue(wait_for_releases(performer, releases), performer.out)
            printed = [line for line in performer.out.splitlines() if line.endswith(" disconnected.")]
            self.assertEqual(sorted(printed[-len(leavers):]), sorted("Client %d disconnected." % i for i in leavers))
            time.sleep(SETTLE_SECONDS)
            # Everything sent before the releases has arrived; from now on the leavers get nothing.
            gone = []
            for client_id in leavers:
                member = self.slots[client_id]
                member.drain()
                self.slots[client_id] = None
                gone.append(member)
            # Each comes back from its own address or a new one, one at a time, and takes the
            # lowest free id, which need not be its old one.
            for member in gone:
                if rng.random() < 0.5:
                    join(member)
                else:
                    member.retired_at = len(member.received)
                    newcomer = Member()
                    members.append(newcomer)
                    join(newcomer)
        self.releases = releases
        for member in members:
            member.drain()
        self.assertEqual(outsider.received, [])
        # The song must outlast the churn, or the check above proves little.
        self.assertIsNone(performer.process.poll(), "the song ended before the churn did")


if __name__ == "__main__":
    e2e.main()
