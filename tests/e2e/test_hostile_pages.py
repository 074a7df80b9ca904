"""Strangers on the web port: pages that join and close at once, a crowd of connections from one
address, a server short of descriptors, another site's page, a socket that never joins, a page
flooding clock requests, and requests no browser of the room sends. The room's own pages and PCs
must still get in, and neither of the server's threads may be kept busy."""
import os
import resource
import selectors
import socket
import subprocess
import tempfile
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server

VOICES = [[(i * 250, 200, 60 + i % 12) for i in range(24)]]  # six seconds
OTHER_ADDRESS = "198.18.0.1"  # the namespace's second address: another host, as far as the server sees
MOST_FROM_ONE_ADDRESS = 192


def get(request, host="127.0.0.1"):
    """Sends a raw HTTP request and returns the answer up to the server's close, as text."""
    with socket.create_connection((host, 27080), timeout=5) as connection:
        connection.sendall(request.encode())
        answer = b""
        while chunk := connection.recv(65536):
            answer += chunk
    return answer.decode()


def cpu_seconds(pid, main_thread):
    """The processor time of the process's main thread, or of all its other threads."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        if (task == str(pid)) == main_thread:
            with open("/proc/%d/task/%s/stat" % (pid, task)) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")


def busy_share(pid, main_thread, seconds):
    """The share of one core the threads used over the seconds."""
    before = cpu_seconds(pid, main_thread)
    time.sleep(seconds)
    return (cpu_seconds(pid, main_thread) - before) / seconds


def join(page):
    page.send("join")
    while (message := page.receive()) is not None and "id" not in message:
        pass
    return message and message["id"]


class HostilePages(unittest.TestCase):
    def serve(self, descriptors=None):
        """A waiting server with --web; descriptors: its (soft, hard) open-file limit."""
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        song = server.write_song(os.path.join(folder.name, "song.mid"), VOICES)
        limit = descriptors and (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, descriptors))
        performer = server.Watched(subprocess.Popen([e2e.TONECAST, "-s", song, "-w", "--web"], preexec_fn=limit,
                                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
        self.addCleanup(performer.kill)
        deadline = time.monotonic() + 10
        while "join the room by opening" not in performer.err and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertIn("join the room by opening", performer.err)
        return performer

    def test_answers_origins_and_sockets_that_never_join(self):
        self.serve()
        page = get("GET /?x HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
        for header in ("Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
                       "connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; "
                       "frame-ancestors 'none'\r\n", "X-Frame-Options: DENY\r\n", "X-Content-Type-Options: nosniff\r\n"):
            self.assertIn(header, page)
        self.assertTrue(page.startswith("HTTP/1.1 200 OK\r\n"), page)
        posted = get("POST /page.js HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        self.assertTrue(posted.startswith("HTTP/1.1 405 "), posted)
        self.assertIn("\r\nAllow: GET, HEAD\r\n", posted)
        self.assertTrue(get("POST /other HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n").startswith("HTTP/1.1 404 "))
        oversized = get("GET / HTTP/1.1\r\nHost: a\r\nCookie: %s\r\n\r\n" % ("x" * 9000))
        self.assertTrue(oversized.startswith("HTTP/1.1 431 "), oversized)
        self.assertIn("X-Frame-Options: DENY\r\n", oversized)

        with self.assertRaisesRegex(ConnectionRefusedError, "^HTTP/1.1 403 "):
            peers.FakePage(origin="http://evil.example")
        same_site, idle = peers.FakePage(origin="http://127.0.0.1:27080"), peers.FakePage()
        self.addCleanup(lambda: [same_site.close(), idle.close()])
        self.assertIn("frame-ancestors 'none'", idle.head)
        opened = time.monotonic()
        time.sleep(3)
        idle.send("clock 1")  # talking is not joining
        while idle.receive() is not None:
            pass
        self.assertLess(abs(time.monotonic() - opened - 5), 2)
        self.assertGreaterEqual(idle.pings, 2)

    def test_pages_that_join_and_close_at_once_leave_no_slot_behind(self):
        performer = self.serve()
        for _ in range(150):
            ghost = peers.FakePage()
            ghost.send("join")
            ghost.close()
        started = time.monotonic()
        pages = [peers.FakePage() for _ in range(16)]
        pcs = [peers.FakeClient() for _ in range(16)]
        self.addCleanup(lambda: [member.close() for member in pages + pcs])
        ids = [join(page) for page in pages] + [pc.connect(timeout=8) for pc in pcs]
        self.assertEqual(sorted(ids), list(range(32)), performer.out)
        # Before the server's own limit for silent clients would free them.
        self.assertLess(time.monotonic() - started, 9)

    def test_a_crowd_from_one_address_leaves_room_for_others(self):
        self.serve(descriptors=(1024, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))  # a desktop's soft limit
        resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
        crowd = []
        self.addCleanup(lambda: [connection.close() for connection in crowd])
        for _ in range(1500):
            crowd.append(socket.create_connection(("127.0.0.1", 27080), timeout=5))
        time.sleep(0.5)
        watching = selectors.DefaultSelector()
        for connection in crowd:
            watching.register(connection, selectors.EVENT_READ)
        closed = len(watching.select(timeout=0.5))  # refused ones read as closed
        self.assertLessEqual(len(crowd) - closed, MOST_FROM_ONE_ADDRESS)
        self.assertGreaterEqual(len(crowd) - closed, 32 * 4)  # a guest Wi-Fi's 32 phones behind one address
        self.assertTrue(get("GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n",
                            host=OTHER_ADDRESS).startswith("HTTP/1.1 200 "))
        honest = peers.FakePage(host=OTHER_ADDRESS)
        self.addCleanup(honest.close)
        self.assertEqual(join(honest), 0)

    def test_a_server_short_of_descriptors_stays_idle_and_serves_once_they_are_freed(self):
        performer = self.serve(descriptors=(64, 64))
        idle = [socket.create_connection(("127.0.0.1", 27080), timeout=5) for _ in range(80)]
        time.sleep(0.5)
        self.assertLess(busy_share(performer.process.pid, main_thread=False, seconds=2), 0.1)
        for connection in idle:
            connection.close()
        self.assertTrue(get("GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n").startswith("HTTP/1.1 200 "))

    def test_a_page_flooding_clock_requests_is_answered_at_the_allowed_rate(self):
        performer = self.serve()
        page = peers.FakePage()
        self.addCleanup(page.close)
        self.assertEqual(join(page), 0)
        peers.activate()
        self.assertTrue(performer.wait_for("SV: got activate\n"), performer.out)
        request = bytes([0x81, 0x80 | 10]) + b"mask" + bytes(b ^ b"mask"[i % 4] for i, b in enumerate(b"clock 1234"))
        main_before, flood_started = cpu_seconds(performer.process.pid, main_thread=True), time.monotonic()
        while time.monotonic() - flood_started < 3:
            page.socket.sendall(request * 100)
        flood_seconds = time.monotonic() - flood_started
        main_share = (cpu_seconds(performer.process.pid, main_thread=True) - main_before) / flood_seconds
        page.socket.settimeout(1)
        replies = 0
        while (message := page.receive()) is not None and "over" not in message:
            replies += "clock" in message
        self.assertLessEqual(replies, 80 + 8 * (time.monotonic() - flood_started) + 8)
        self.assertLess(main_share, 0.1)


if __name__ == "__main__":
    e2e.main()
