"""A minute without any datagram ends the client, connected or not, and a minute spent stopped
counts. Takes about 70 seconds."""
import select
import signal
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
        # Stopped (as by SIGSTOP or a laptop's lid) for 61 s right after its id: once resumed, the
        # minute has passed.
        suspended, suspended_address = peers.start_client(server)
        server.sendto(peers.reply(peers.MSG_ASSIGN_ID, 4), suspended_address)
        time.sleep(0.2)
        suspended.send_signal(signal.SIGSTOP)
        suspended_since = time.monotonic()
        # Never answered: keeps asking once a second, then gives up a minute after it began.
        ignored, ignored_address = peers.start_client(server)
        ignored_start = time.monotonic()
        for process in (answered, ignored, suspended):
            self.addCleanup(lambda p=process: p.poll() is None and (p.kill(), p.communicate()))

        # Any datagram from its server, even one of no known kind, postpones the end; a stranger's,
        # sent later, does not, and neither does a stop of 4 s after it.
        time.sleep(10)
        server.sendto(peers.reply(99, 1, 1), answered_address)
        last_datagram = time.monotonic()
        time.sleep(0.2)  # taken before the stop
        answered.send_signal(signal.SIGSTOP)
        time.sleep(4)
        answered.send_signal(signal.SIGCONT)
        time.sleep(1)
        other.sendto(peers.reply(99, 1, 1), answered_address)

        requests = {ignored_address: 1}  # connect requests by sender
        disconnect_times = {}
        ended = {}
        resumed = None
        while len(ended) < 3 and time.monotonic() - last_datagram < 80:
            if resumed is None and time.monotonic() - suspended_since >= 61:
                suspended.send_signal(signal.SIGCONT)
                resumed = time.monotonic()
            readable, _, _ = select.select([server, other], [], [], 0.05)
            for sock in readable:
                data, sender = sock.recvfrom(2048)
                self.assertIs(sock, server, data)  # nothing goes to the stranger
                if data == peers.LIVE_CONNECT:
                    requests[sender] = requests.get(sender, 0) + 1
                else:
                    self.assertIn((data, sender), [(peers.good_bye(3), answered_address),
                                                   (peers.good_bye(4), suspended_address)])
                    disconnect_times[sender] = time.monotonic()
            for name, process in (("answered", answered), ("ignored", ignored), ("suspended", suspended)):
                if name not in ended and process.poll() is not None:
                    ended[name] = time.monotonic()

        self.assertAlmostEqual(ended["answered"] - last_datagram, 60, delta=1.0)
        self.assertAlmostEqual(disconnect_times[answered_address], ended["answered"], delta=0.5)
        self.assertAlmostEqual(ended["ignored"] - ignored_start, 60, delta=1.0)
        self.assertLess(ended["suspended"] - resumed, 0.5)
        self.assertAlmostEqual(disconnect_times[suspended_address], ended["suspended"], delta=0.5)
        self.assertEqual(list(requests), [ignored_address])  # none from the connected clients
        self.assertGreaterEqual(requests[ignored_address], 58)

        for process, client_id in ((answered, 3), (suspended, 4)):
            out, _ = process.communicate()
            self.assertEqual(out, START + "Connected! Got id: %d\n" % client_id + "Quit.\n")
            self.assertEqual(process.returncode, 0)
        out, _ = ignored.communicate()
        self.assertEqual(out, START + "Connecting...\n" * (requests[ignored_address] - 1) + "Quit.\n")
        self.assertEqual(ignored.returncode, 0)


if __name__ == "__main__":
    e2e.main()
