"""A minute without any datagram ends the client, connected or not. Takes about 70 seconds."""
import select
import time
import unittest

import e2e_support as e2e
import fake_peers as peers

START = e2e.BANNER + "Running as client\n" + "Connecting...\n"


class Silence(unittest.TestCase):
    def test_a_minute_of_silence_ends_the_client(self):
        server = peers.udp_listener(peers.SERVER_PORT)
        other = peers.udp_listener()
        self.addCleanup(server.close)
        self.addCleanup(other.close)
        answered, answered_address = peers.start_client(server)
        server.sendto(peers.reply(peers.MSG_ASSIGN_ID, 3), answered_address)
        # Never answered: keeps asking once a second, then gives up a minute after it began.
        ignored, ignored_address = peers.start_client(server)
        ignored_start = time.monotonic()
        for process in (answered, ignored):
            self.addCleanup(lambda p=process: p.poll() is None and (p.kill(), p.communicate()))

        # Any datagram from its server, even one of no known kind, postpones the end; a stranger's,
        # sent later, does not.
        time.sleep(10)
        server.sendto(peers.reply(9, 1, 1), answered_address)
        last_datagram = time.monotonic()
        time.sleep(5)
        other.sendto(peers.reply(9, 1, 1), answered_address)

        requests = {ignored_address: 1}  # connect requests by sender
        disconnect_time = None
        ended = {}
        while len(ended) < 2 and time.monotonic() - last_datagram < 80:
            readable, _, _ = select.select([server, other], [], [], 0.05)
            for sock in readable:
                data, sender = sock.recvfrom(2048)
                self.assertIs(sock, server, data)  # nothing goes to the stranger
                if data == peers.CONNECT:
                    requests[sender] = requests.get(sender, 0) + 1
                else:
                    self.assertEqual((data, sender), (peers.good_bye(3), answered_address))
                    disconnect_time = time.monotonic()
            for name, process in (("answered", answered), ("ignored", ignored)):
                if name not in ended and process.poll() is not None:
                    ended[name] = time.monotonic()

        self.assertAlmostEqual(ended["answered"] - last_datagram, 60, delta=1.0)
        self.assertAlmostEqual(disconnect_time, ended["answered"], delta=0.5)
        self.assertAlmostEqual(ended["ignored"] - ignored_start, 60, delta=1.0)
        self.assertEqual(list(requests), [ignored_address])  # none from the connected client
        self.assertGreaterEqual(requests[ignored_address], 58)

        out, _ = answered.communicate()
        self.assertEqual(out, START + "Connected! Got id: 3\n" + "Quit.\n")
        self.assertEqual(answered.returncode, 0)
        out, _ = ignored.communicate()
        self.assertEqual(out, START + "Connecting...\n" * (requests[ignored_address] - 1) + "Quit.\n")
        self.assertEqual(ignored.returncode, 0)


if __name__ == "__main__":
    e2e.main()
