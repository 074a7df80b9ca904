"""Hostile peers in a room. On the web port: another site's page, a socket that never joins,
requests no browser of the room sends, pages that join and close at once, a crowd of connections
from one address beside an honest page from another (which then floods clock requests during the
song), and a server short of descriptors. At the conductor's door: guessed keys, an audience page
that gives commands, another site's page, a conductor too many, an upload too large and a flood of
commands. On the server's port: a PC that keeps the room's clock
killed outright, then one asking the time back to back beside an older client. The room's own pages
and PCs must still get in and play on time, and neither of the server's threads may be kept busy."""
import os
import pathlib
import resource
import selectors
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server

VOICES = [[(i * 250, 200, 60 + i % 12) for i in range(24)]]  # six seconds
OTHER_ADDRESS = "198.18.0.1"  # the namespace's second address: another host, as far as the server sees
PAGE = "GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"
KEY = "conductor-key-of-the-test"
CONDUCTOR = "/conductor/" + KEY


def get(request, host="127.0.0.1"):
    """Sends a raw HTTP request and returns the answer up to the server's close, as text."""
    with socket.create_connection((host, 27080), timeout=5) as connection:
        connection.sendall(request.encode())
        answer = b""
        while chunk := connection.recv(65536):
            answer += chunk
    return answer.decode()


def cpu_share(pid, main_thread, during):
    """The share of one core the process's main thread, or all its other threads, used while during() ran."""
    def seconds():
        tasks = [task for task in os.listdir("/proc/%d/task" % pid) if (task == str(pid)) == main_thread]
        stats = [pathlib.Path("/proc/%d/task/%s/stat" % (pid, task)).read_text().rsplit(")", 1)[1].split()
                 for task in tasks]
        return sum(int(fields[11]) + int(fields[12]) for fields in stats) / os.sysconf("SC_CLK_TCK")

    before, started = seconds(), time.monotonic()
    during()
    # Over a second at least: a flood the room cuts off at once lasts a few ms, less than one tick of
    # the kernel's count of processor time.
    time.sleep(max(0.0, started + 1 - time.monotonic()))
    return (seconds() - before) / (time.monotonic() - started)


def join(page):
    page.send("join")
    while (message := page.receive()) is not None and "id" not in message:
        pass
    return message and message["id"]


class HostilePeers(unittest.TestCase):
    def serve(self, voices, *options, descriptors=None):
        """A waiting server of the song, ready; descriptors: its (soft, hard) open-file limit."""
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        song = server.write_song(os.path.join(folder.name, "song.mid"), voices)
        limit = descriptors and (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, descriptors))
        performer = server.Watched(subprocess.Popen([e2e.TONECAST, "-s", song, "-w", *options], preexec_fn=limit,
                                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
        self.addCleanup(performer.kill)
        self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
        deadline = time.monotonic() + 10
        while "--web" in options and "join the room by opening" not in performer.err and time.monotonic() < deadline:
            time.sleep(0.01)
        return performer

    def test_strangers_on_the_web_port_leave_the_room_to_its_pages(self):
        performer = self.serve(VOICES, "--web")
        opened = []
        self.addCleanup(lambda: [each.close() for each in opened])
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

        # Another site's page is refused, the room's own and one naming no Origin get in; a socket
        # that talks but never joins is closed 5 s after its handshake, pinged meanwhile.
        with self.assertRaisesRegex(ConnectionRefusedError, "^HTTP/1.1 403 "):
            peers.FakePage(origin="http://evil.example")
        idle = peers.FakePage()
        opened += [peers.FakePage(origin="http://127.0.0.1:27080"), idle]
        self.assertIn("frame-ancestors 'none'", idle.head)
        handshake = time.monotonic()
        time.sleep(3)
        idle.send("clock 1")  # talking is not joining
        while idle.receive() is not None:
            pass
        self.assertLess(abs(time.monotonic() - handshake - 5), 2)
        self.assertGreaterEqual(idle.pings, 2)

        # 150 pages that join and close at once leave no slot behind: 16 pages and 16 PCs all get
        # in, before the server's own limit for silent clients would free them. Then they leave.
        for _ in range(150):
            ghost = peers.FakePage()
            ghost.send("join")
            ghost.close()
        started = time.monotonic()
        pages, pcs = [peers.FakePage() for _ in range(16)], [peers.FakeClient() for _ in range(16)]
        opened += pages + pcs
        ids = [join(page) for page in pages] + [pc.connect(timeout=8) for pc in pcs]
        self.assertEqual(sorted(ids), list(range(32)), performer.out)
        self.assertLess(time.monotonic() - started, 9)
        for page in pages:
            page.close()
        for pc, pc_id in zip(pcs, ids[16:]):
            pc.disconnect(pc_id)

        # A crowd from one address keeps no more than its share (a guest Wi-Fi's 32 phones, each
        # with its loads, still fit); another address loads the page and joins.
        resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
        crowd = [socket.create_connection(("127.0.0.1", 27080), timeout=5) for _ in range(1500)]
        opened += crowd
        time.sleep(0.5)
        watching = selectors.DefaultSelector()
        for connection in crowd:
            watching.register(connection, selectors.EVENT_READ)
        held = len(crowd) - len(watching.select(timeout=0.5))  # refused ones read as closed
        self.assertTrue(32 * 4 <= held <= 192, held)
        self.assertTrue(get(PAGE, host=OTHER_ADDRESS).startswith("HTTP/1.1 200 "))
        honest = peers.FakePage(host=OTHER_ADDRESS)
        opened.append(honest)
        self.assertEqual(join(honest), 0)

        # That page flooding clock requests during the song is answered at the allowed rate, the
        # song's loop is not kept busy, and the page is let go as a flood.
        peers.activate()
        self.assertTrue(performer.wait_for("SV: got activate\n"), performer.out)
        request = bytes([0x81, 0x80 | 10]) + b"mask" + bytes(b ^ b"mask"[i % 4] for i, b in enumerate(b"clock 1234"))
        flood_started, left_before = time.monotonic(), performer.out.count("Client 0 disconnected.\n")

        def flood():
            try:
                while time.monotonic() - flood_started < 3:
                    honest.socket.sendall(request * 100)
            except OSError:
                pass  # the room closed the socket

        main_share = cpu_share(performer.process.pid, True, flood)
        honest.socket.settimeout(1)
        replies = 0
        while (message := honest.receive()) is not None and "over" not in message:
            replies += "clock" in message
        self.assertLessEqual(replies, 80 + 8 * (time.monotonic() - flood_started) + 8)
        self.assertLess(main_share, 0.1)
        status, out, _ = performer.finish()
        self.assertEqual((status, out.count("Client 0 disconnected.\n")), (0, left_before + 1))

    def test_strangers_at_the_conductors_door_steer_nothing(self):
        performer = self.serve(VOICES, "--web", "--conductor-key", KEY)
        # Standard error is read by a thread of its own: the lines may come a moment after the port's.
        told = "The conductor steers the room from:\n  http://%s:27080%s\n" % (OTHER_ADDRESS, CONDUCTOR)
        self.assertTrue(e2e.wait_until(lambda: told in performer.err, 5), performer.err)
        # The conductor's page lives under its key, its files nowhere else; the audience's page
        # names no key.
        self.assertIn("\r\nLocation: %s/\r\n" % KEY,
                      get("GET %s HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n" % CONDUCTOR))
        for path, kind in (("/", "text/html"), ("/conductor.js", "text/javascript"), ("/qr.svg", "image/svg+xml")):
            answer = get("GET %s%s HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n" % (CONDUCTOR, path))
            self.assertTrue(answer.startswith("HTTP/1.1 200 ") and "Content-Type: " + kind in answer, answer[:300])
            self.assertIn("frame-ancestors 'none'", answer)
        self.assertNotIn(KEY, get(PAGE) + get("GET /page.js HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"))
        answer = get("GET /conductor.js HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
        self.assertTrue(answer.startswith("HTTP/1.1 404 "))

        # An audience's page gives a command: nothing starts. Another site's page cannot be a
        # conductor; four conductors can, a fifth is refused.
        audience = peers.FakePage()
        audience.send('{"cmd":"start"}')
        with self.assertRaisesRegex(ConnectionRefusedError, "^HTTP/1.1 403 "):
            peers.FakePage(origin="http://evil.example", path=CONDUCTOR + "/socket")
        conductors = [peers.FakePage(path=CONDUCTOR + "/socket") for _ in range(4)]
        self.addCleanup(lambda: [each.close() for each in conductors + [audience]])
        self.assertEqual(conductors[0].receive(), {"audience": {"address": "http://%s:27080/" % OTHER_ADDRESS,
                                                                "qr": CONDUCTOR + "/qr.svg"}})
        with self.assertRaisesRegex(ConnectionRefusedError, "^HTTP/1.1 503 "):
            peers.FakePage(path=CONDUCTOR + "/socket")
        self.assertNotIn("SV: got activate", performer.out)
        # Joined, the audience's page is a voice the conductors see as a page, at its own address.
        audience.send("join")
        voice, deadline = {"kind": "page", "address": "127.0.0.1:%d" % audience.socket.getsockname()[1]}, time.monotonic() + 5
        while (message := conductors[0].receive()) and time.monotonic() < deadline and voice not in [
                {name: each[name] for name in voice} for each in message.get("state", {}).get("voices", [])]:
            pass
        self.assertLess(time.monotonic(), deadline, message)
        conductors[0].send('{"cmd":"start"}')
        self.assertTrue(performer.wait_for("SV: got activate\n"), performer.out)

        # A song too large is refused before its bytes are read; a flood of commands is closed.
        upload = "POST %s/songs?name=big.mid HTTP/1.1\r\nHost: a\r\nContent-Length: %d\r\n\r\n"
        self.assertTrue(get(upload % (CONDUCTOR, 1024 * 1024 + 1)).startswith("HTTP/1.1 413 "))
        started = time.monotonic()
        try:
            for _ in range(600):
                conductors[1].send('{"cmd":"nothing"}')
        except OSError:
            pass  # the room closed the socket
        conductors[1].socket.settimeout(2)
        while (message := conductors[1].receive()) is not None:
            self.assertNotIn("over", message)
        self.assertLess(time.monotonic() - started, 3)

        # Guessed keys from another address are answered late, then not at all, even the right
        # one; this address still gets in.
        def guess(key, answers):
            started = time.monotonic()
            request = "GET /conductor/%s/ HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n" % key
            answers.append((get(request, host=OTHER_ADDRESS)[:13], time.monotonic() - started))

        answers = []
        guessers = [threading.Thread(target=guess, args=(KEY[:-1] + str(i), answers)) for i in range(10)]
        for guesser in guessers:
            guesser.start()
        for guesser in guessers:
            guesser.join()
        self.assertEqual(sorted(answer for answer, _ in answers), ["HTTP/1.1 404 "] * 10)
        self.assertGreater(min(delay for _, delay in answers), 0.9)
        guess(KEY, answers)
        self.assertEqual(answers[-1][0], "")
        self.assertTrue(get("GET %s/ HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n" % CONDUCTOR)
                        .startswith("HTTP/1.1 200 "))

    def test_a_killed_pc_a_clock_flood_and_a_web_port_short_of_descriptors_leave_the_room_on_time(self):
        voices = [[(i * 100, 100, 60 + i % 12) for i in range(25)]]  # gapless: it stays on id 0
        performer = self.serve(voices, "--web", descriptors=(64, 64))
        ghost = server.watch("-c")
        self.addCleanup(ghost.kill)
        self.assertTrue(ghost.wait_for("Connected! Got id: 0\n"), ghost.out)
        time.sleep(1)  # well into its steady clock requests
        ghost.process.kill()
        killed = time.monotonic()
        # Meanwhile this server, short of descriptors, is given more idle connections than it has:
        # its web thread stays idle, and serves the page once they are closed.
        idle = [socket.create_connection(("127.0.0.1", 27080), timeout=5) for _ in range(80)]
        time.sleep(0.5)
        self.assertLess(cpu_share(performer.process.pid, False, lambda: time.sleep(2)), 0.1)
        for connection in idle:
            connection.close()
        self.assertTrue(get(PAGE).startswith("HTTP/1.1 200 "))
        self.assertTrue(performer.wait_for("Client 0 disconnected.\n", timeout=20), performer.out)
        self.assertTrue(9 <= time.monotonic() - killed <= 15, time.monotonic() - killed)

        # Its id goes to the next, an older client; beside it a timed one asks the time back to back.
        older, flooder = peers.FakeClient(), peers.FakeClient()
        self.addCleanup(lambda: [older.close(), flooder.close()])
        self.assertEqual(older.connect(), 0)
        flooder.send(peers.TIMED_CONNECT)
        self.assertEqual([kind for kind, _, _ in flooder.receive(0.3)], [peers.MSG_ASSIGN_ID, peers.MSG_WELCOME])
        flooding, asked = threading.Event(), [0]

        def ask_back_to_back():
            while not flooding.is_set():
                flooder.send(peers.CLOCK_REQUEST + asked[0].to_bytes(4, "little"))
                asked[0] += 1

        activated = time.monotonic()
        peers.activate()
        # Once it has begun: a flood that fills the server's queue could crowd out the activate.
        self.assertTrue(performer.wait_for("SV: got activate\n"), performer.out)
        threading.Thread(target=ask_back_to_back, daemon=True).start()
        older.socket.settimeout(20)
        arrivals = []
        while not arrivals or arrivals[-1][0][0] != peers.MSG_BYE:
            arrivals.append((peers.reply_of(older.socket.recv(64)), time.monotonic()))
        flooding.set()
        flood_seconds = time.monotonic() - activated
        replies = [kind for kind, _, _ in flooder.receive(0.3) if kind == peers.MSG_CLOCK_REPLY]
        self.assertEqual(performer.finish()[:2], (0, server.server_prefix(voices, waiting=True)
                                                  + "Client 0 disconnected.\nSV: got activate\nQuit.\n"))
        self.assertGreater(asked[0], 800, "the flood was too thin to tell anything")
        self.assertTrue(0 < len(replies) <= 80 + 8 * flood_seconds + 2, (len(replies), asked[0], flood_seconds))
        # Every note, at its start on the song's clock: a lead of 150 ms after the activate, as a
        # timed client is in.
        notes = [((key, length), arrived) for (kind, key, length), arrived in arrivals if kind == peers.MSG_NOTE]
        self.assertEqual([note for note, _ in notes], [(key, length - 20) for _, length, key in voices[0]])
        for (_, arrived), (start, _, key) in zip(notes, voices[0]):
            late_ms = (arrived - activated) * 1000 - 150 - start
            self.assertTrue(-5 <= late_ms <= 100, (key, start, late_ms))


if __name__ == "__main__":
    e2e.main()
