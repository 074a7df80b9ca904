"""The conductor's page steering a concert: a server with --web and a playlist, two fake clients that
keep the room's clock (version 3) and one older client, and the page in headless Chromium pressing
start, pause, resume (the space bar), a seek and a loop on the roll, a tempo, a channel switched off,
two dropped files (a song and a file that is none) and the next song, then stop. Every note the
clients get is checked against the transport as the page was told it: each note given once, at the
moment its position has under the transport, none while paused."""
import base64
import bisect
import json
import os
import socket
import struct
import tempfile
import threading
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server
from web_browser import Browser

KEY = "conductor-test-key-0123456789"
PAGE_URL = "http://127.0.0.1:27080/conductor/%s/?test" % KEY
LEAD_US = 150000
# Song 1: a line every 100 ms on channel 1, a bass on channel 2 and, every 800 ms, a third note on
# channel 3, so that at times all three clients sound; a key comes back only after 1.2 s of the song.
SONG = [[(50 + i * 100, 80, 60 + i % 12) for i in range(200)], [(50 + i * 400, 300, 40 + i % 6) for i in range(50)],
        [(50 + i * 800, 200, 30 + i % 4) for i in range(25)]]
SECOND = [[(50 + i * 100, 80, 72 + i % 12) for i in range(40)]]
THIRD = [[(50 + i * 100, 80, 84 + i % 12) for i in range(20)]]
TIMED_US, OLDER_US = 4000, 40000  # how far a note's moment may be from its place on the transport
EDGE_US = 40000  # around a jump of the transport a note may or may not come
TOLD_LATE_US = 150000  # a state may reach the page a tenth of a second after the change it tells
SLICE_SENT_US = 150000  # a live slice may arrive this long after the let-go that ends its key
DROP = """(() => { const bytes = Uint8Array.from(atob('%s'), (c) => c.charCodeAt(0));
  const data = new DataTransfer(); data.items.add(new File([bytes], '%s'));
  document.body.dispatchEvent(new DragEvent('drop', { dataTransfer: data, bubbles: true, cancelable: true })); })()"""


class Voice:
    """A fake client on this host recording every datagram with its arrival; a timed one asks the
    server's time four times a second, so it keeps its slot and the test learns the server's clock."""

    def __init__(self, timed, version=3):
        self.socket, self.timed, self.got, self.exchanges = peers.udp_listener(0, 0.05), timed, [], []
        self.request = peers.CONCERT_CLOCK_REQUEST if version == 3 else peers.CLOCK_REQUEST
        connect = peers.CONCERT_CONNECT if version == 3 else peers.TIMED_CONNECT
        self.socket.sendto(connect if timed else peers.CONNECT, ("127.0.0.1", peers.SERVER_PORT))
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        asked = 0
        while self.running:
            now = _micros()
            if self.timed and now - asked > 250000:
                asked = now
                self.socket.sendto(self.request + struct.pack("<I", now & 0xFFFFFFFF),
                                   ("127.0.0.1", peers.SERVER_PORT))
            try:
                data = self.socket.recv(64)
            except socket.timeout:
                continue
            received = _micros()
            self.got.append((received, data))
            if peers.reply_of(data)[0] == peers.MSG_CLOCK_REPLY:
                stamp, serverUs = struct.unpack("<II", data[4:12])
                sent = received - ((received - stamp) & 0xFFFFFFFF)
                self.exchanges.append((received - sent, serverUs, (sent + received) // 2))

    def kinds(self, kind):
        return [(received, data) for received, data in self.got if peers.reply_of(data)[0] == kind]

    def stop(self):
        self.running = False
        self.thread.join(2)
        self.socket.close()


class Conductor(unittest.TestCase):
    def test_the_page_steers_the_concert_and_every_note_keeps_to_the_transport(self):
        with tempfile.TemporaryDirectory() as folder:
            os.mkdir(os.path.join(folder, "list"))
            first = server.write_song(os.path.join(folder, "first.mid"), SONG)
            server.write_song(os.path.join(folder, "list", "2-second.mid"), SECOND)
            server.write_song(os.path.join(folder, "list", "3-third.mid"), THIRD)
            performer = server.watch("-s", first, "-w", "--web", "--playlist", os.path.join(folder, "list"),
                                     "--conductor-key", KEY)
            voices = []
            try:
                self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
                # The older client first: given the lowest id, it plays in both songs.
                voices = [Voice(timed=False), Voice(timed=True), Voice(timed=True)]
                with Browser(window=(1280, 1500)) as browser:
                    self.page, self.browser = browser.open(PAGE_URL), browser
                    self.assertTrue(e2e.wait_until(lambda: self._shown("voices").count("PC") == 3), self.page.console()[-3:])
                    self.assertIn("older PC", self._shown("voices"))
                    self._steer()
                    status, out, _ = performer.finish(timeout=20)
                    # One socket all along, its pings answered; once the server is gone, asked again
                    # after 1 s, then after 2.
                    self.assertTrue(e2e.wait_until(lambda: "again in 2 s" in self._shown("link"), 10), self._shown("link"))
                    self.assertEqual(len(self.page.wait_for_console("conductor-connected")), 1)
            finally:
                performer.kill()
                for voice in voices:
                    voice.stop()
        self.assertEqual((status, self.page.errors()), (0, []), out)
        self._check_notes(voices)

    def test_a_client_of_the_clocks_first_version_hears_each_note_once_through_a_pause(self):
        # A pause cannot silence it: the notes it was given ahead play, and are not given again, to
        # it or to the older client beside it.
        notes = [[(i * 100, 90, 30 + i) for i in range(30)]]
        with tempfile.TemporaryDirectory() as folder:
            song = server.write_song(os.path.join(folder, "song.mid"), notes)
            performer = server.watch("-s", song, "-w", "--web", "--conductor-key", KEY)
            self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
            voices = [Voice(timed=True, version=2), Voice(timed=False)]
            try:
                conductor = peers.FakePage(path="/conductor/%s/socket" % KEY)
                for command, then in (("start", 1.2), ("pause", 0.6), ("resume", 0)):
                    time.sleep(0.5 if command == "start" else 0)
                    conductor.send(json.dumps({"cmd": command}))
                    time.sleep(then)
                status = performer.finish(timeout=20)[0]
            finally:
                performer.kill()
                for voice in voices:
                    voice.stop()
        keys = [peers.reply_of(data)[1] for kind, voice in zip((peers.MSG_TIMED_NOTE, peers.MSG_NOTE), voices)
                for _, data in voice.kinds(kind)]
        self.assertEqual((status, sorted(keys), voices[0].kinds(peers.MSG_SILENCE)), (0, list(range(30, 60)), []))

    def test_the_pages_keyboard_plays_by_mouse_fingers_and_keys_and_no_key_sounds_on(self):
        """A live room and three clients that keep its clock: the page's keys reach them as slices
        that stop once every key is let go, and a socket closed with a key held stops its slices."""
        performer = server.watch("--live", "--web", "--conductor-key", KEY)
        voices = []
        try:
            self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
            voices = [Voice(timed=True) for _ in range(3)]
            with Browser(window=(1280, 1200)) as browser:
                page = browser.open(PAGE_URL)
                page.wait_for_console("conductor-connected")
                at = lambda key: page.evaluate(  # noqa: E731
                    "(() => { const r = document.querySelector('#piano [data-key=\"%d\"]').getBoundingClientRect();"
                    " return { x: r.left + r.width / 2, y: r.bottom - 8 }; })()" % key)
                lit = lambda: page.evaluate(  # noqa: E731
                    "[...document.querySelectorAll('#piano .down')].map((k) => Number(k.dataset.key))")
                mouse = lambda kind, key: browser.send("Input.dispatchMouseEvent", dict(  # noqa: E731
                    at(key), type=kind, button="left", buttons=int(kind != "mouseReleased"), clickCount=1),
                    page.session)
                # A press slid to the next key, then let go.
                mouse("mousePressed", 52)
                self.assertEqual(lit(), [52])
                mouse("mouseMoved", 53)
                mouse("mouseReleased", 53)
                # Two fingers at once; one slides off the keyboard, then the other is lifted.
                fingers = [dict(at(48), id=1), dict(at(55), id=2)]
                browser.send("Input.dispatchTouchEvent", {"type": "touchStart", "touchPoints": fingers}, page.session)
                self.assertEqual(lit(), [48, 55])
                browser.send("Input.dispatchTouchEvent", {"type": "touchMove", "touchPoints": [
                    fingers[0], dict(fingers[1], y=fingers[1]["y"] + 400)]}, page.session)
                browser.send("Input.dispatchTouchEvent", {"type": "touchEnd", "touchPoints": []}, page.session)
                # The computer's keys an octave up; a key still down when the page loses focus.
                for kind, code in (("keyDown", "KeyX"), ("keyUp", "KeyX"), ("keyDown", "KeyA"), ("keyUp", "KeyA"),
                                   ("keyDown", "KeyS")):
                    browser.send("Input.dispatchKeyEvent", {"type": kind, "code": code, "key": code[-1].lower()},
                                 page.session)
                page.evaluate("dispatchEvent(new Event('blur'))")
                self.assertEqual(lit(), [])
                page_done = _micros()
                played = [json.loads(line.split(" ", 1)[1]) for line in page.console()
                          if line.startswith("conductor-live ")]
                self.assertEqual(page.errors(), [])
                # A key held by a socket that closes, once the voices have rung out: the server
                # lets go of it itself.
                time.sleep(0.4)
                held = peers.FakePage(path="/conductor/%s/socket" % KEY)
                held.send(json.dumps({"live": {"on": 70}}))
                time.sleep(0.7)
                held.close()
                closed = _micros()
                time.sleep(0.7)
            performer.process.terminate()
            status = performer.finish(timeout=10)[0]
        finally:
            performer.kill()
            for voice in voices:
                voice.stop()
        self.assertEqual(played, [{"on": 52}, {"off": 52}, {"on": 53}, {"off": 53}, {"on": 48}, {"on": 55},
                                  {"off": 55}, {"off": 48}, {"on": 60}, {"off": 60}, {"on": 62}, {"off": 62}])
        slices = sorted((received, peers.reply_of(data)[1]) for voice in voices
                        for received, data in voice.kinds(peers.MSG_TIMED_NOTE))
        # The first key takes a voice at once; a slice was sent before each let-go reached the server.
        self.assertEqual(slices[0][1], 52, slices)
        self.assertLessEqual({key for _, key in slices}, {52, 53, 48, 55, 60, 62, 70})
        self.assertEqual([key for received, key in slices if key != 70 and received > page_done + SLICE_SENT_US], [])
        key70 = [received for received, key in slices if key == 70]
        self.assertGreaterEqual(len(key70), 3, slices)  # carried on while held, 200 ms a slice
        self.assertEqual([t for t in key70 if t > closed + SLICE_SENT_US], [])
        self.assertEqual(status, 0)

    def _steer(self):
        """What the conductor does, each step waited for in the state the page was told."""
        self._click("start")
        self._until(lambda s: s["state"] == "playing", 1.5)
        self._click("pause")
        self._until(lambda s: s["state"] == "paused", 1)
        for kind in ("keyDown", "keyUp"):  # the space bar resumes
            self.browser.send("Input.dispatchKeyEvent", {"type": kind, "key": " ", "code": "Space",
                                                         "windowsVirtualKeyCode": 32}, self.page.session)
        self._until(lambda s: s["state"] == "playing", 1)
        self._press(12000)
        self._until(lambda s: s["position"] >= 11900, 0.3)
        self._press(12500, 14500)
        self._until(lambda s: s["loop"] is not None, 3)
        self.page.evaluate("const t = document.getElementById('tempo-number'); t.value = 150;"
                           " t.dispatchEvent(new Event('change'))")
        self._until(lambda s: s["tempo"] == 150, 1.5)
        self.page.evaluate("document.querySelectorAll('#channels button')[1].click()")
        self._until(lambda s: s["options"]["channels"] == 0xFFFD, 1)
        self.page.evaluate(DROP % (base64.b64encode(server.song_bytes(THIRD)).decode(), "dropped.mid"))
        self.assertTrue(e2e.wait_until(lambda: "dropped.mid" in self._shown("songs")))
        self.page.evaluate(DROP % (base64.b64encode(b"no song at all").decode(), "broken.mid"))
        self._until(lambda s: s["message"] != "", 0)
        self.assertTrue(e2e.wait_until(lambda: self._shown("message") == self.told()[-1]["message"]))
        self._click("next")
        self._until(lambda s: s["song"] == 1 and s["state"] == "playing", 1.5)
        self.page.screenshot("conductor_page.png")
        print("The conductor's page: %s" % os.path.abspath("conductor_page.png"))
        self.stopped = _micros()
        self.page.evaluate("window.confirm = () => true; document.getElementById('stop').click()")

    def told(self):
        return [json.loads(line.split(" ", 1)[1]) for line in self.page.console() if line.startswith("conductor-state ")]

    def _until(self, test, then_seconds):
        self.assertTrue(e2e.wait_until(lambda: self.told() and test(self.told()[-1])), self.told()[-1:])
        time.sleep(then_seconds)

    def _click(self, button):
        self.page.evaluate("document.getElementById('%s').click()" % button)

    def _shown(self, element):
        return self.page.evaluate("document.getElementById('%s').innerText" % element)

    def _press(self, ms, until_ms=None):
        """A click on the roll at that moment of the song, or a drag across it to until_ms."""
        left, width, y = self.page.evaluate("(() => { const r = document.getElementById('roll').getBoundingClientRect();"
                                            " return [r.left, r.width, r.top + r.height / 2]; })()")
        xs = [left + width * at / self.told()[-1]["length"] for at in (ms, until_ms or ms)]
        for kind, x in [("mousePressed", xs[0]), ("mouseMoved", sum(xs) / 2), ("mouseMoved", xs[1]),
                        ("mouseReleased", xs[1])]:
            self.browser.send("Input.dispatchMouseEvent", {"type": kind, "x": x, "y": y, "button": "left",
                                                           "buttons": int(kind != "mouseReleased"), "clickCount": 1},
                              self.page.session)

    def _check_notes(self, voices):
        # The server's clock on this host's, from the fastest exchange, and the transport on it.
        _, server_us, local_us = min(exchange for voice in voices for exchange in voice.exchanges)
        here = lambda us: local_us + ((us - server_us + 2 ** 31) & 0xFFFFFFFF) - 2 ** 31  # noqa: E731
        anchors = sorted((dict(s, at=here(s["at"])) for s in self.told()), key=lambda s: s["at"])
        # Given notes, (key, moment on this host's clock, how near it must be): a timed one unless a
        # silence came after it and before its moment; an older one as it arrived.
        given = [(peers.reply_of(data)[1], received, OLDER_US) for received, data in voices[0].kinds(peers.MSG_NOTE)]
        paused = min(a["at"] for a in anchors if a["state"] == "paused")
        resumed = min(a["at"] for a in anchors if a["state"] == "playing" and a["at"] > paused)
        for voice in voices[1:]:
            silences = [received for received, _ in voice.kinds(peers.MSG_SILENCE)]
            self.assertTrue([s for s in silences if paused - TOLD_LATE_US <= s < resumed], "no silence at the pause")
            for received, data in voice.kinds(peers.MSG_TIMED_NOTE):
                moment = here(struct.unpack("<I", data[6:10])[0])
                if not [s for s in silences if received <= s < moment]:
                    given.append((peers.reply_of(data)[1], moment, TIMED_US))
        second_keys = {key for _, _, key in SECOND[0]}
        older_second = [t for key, t, within in given if within == OLDER_US and key in second_keys]
        self.assertTrue(older_second, "the older client got no note of the second song")
        self.assertEqual([t > max(older_second) for t, _ in voices[0].kinds(peers.MSG_BYE)], [True])

        # Where each note should have been given: the transport walked a millisecond at a time. Near
        # a change (and a lead after it, for notes given ahead) a note may or may not come.
        changes = [a["at"] for b, a in zip(anchors, anchors[1:]) if a["state"] != b["state"] or a["song"] != b["song"]
                   or a["tempo"] != b["tempo"] or a["options"] != b["options"] or a["loop"] != b["loop"]
                   or a["state"] == "playing" and abs(_position(b, a["at"]) - a["position"]) > 2]
        near_change = lambda t: any(-TOLD_LATE_US < t - c < LEAD_US + EDGE_US for c in changes)  # noqa: E731
        starts = [sorted((start, key, channel) for channel, line in enumerate(song) for start, _, key in line)
                  for song in (SONG, SECOND)]
        expected, last = [], None
        for t in range(anchors[0]["at"], self.stopped - EDGE_US, 1000):
            s = anchors[bisect.bisect_right([a["at"] for a in anchors], t) - 1]
            position = _position(s, t) if s["state"] == "playing" else None
            if position is not None and last and last[0] == s["song"]:
                # A step of a millisecond, or around the loop; anything else is a jump.
                low = last[1] if 0 <= position - last[1] < 10 else s["loop"][0] - 0.5 if s["loop"] else position
                expected += [(key, t, near_change(t)) for start, key, channel in starts[s["song"]]
                             if low < start <= position and s["options"]["channels"] >> channel & 1]
            last = position is not None and (s["song"], position)
        for key, moment, within in sorted(given, key=lambda note: note[1]):
            if moment > self.stopped - EDGE_US:
                continue
            match = [e for e in expected if e[0] == key and abs(e[1] - moment) <= within + 1000]
            self.assertTrue(match or near_change(moment), "note %d, %.3f s after the first state, is on no transport"
                            % (key, (moment - anchors[0]["at"]) / 1e6))
            if match:
                expected.remove(match[0])
        self.assertEqual([e for e in expected if not e[2]], [], "notes never given")
        self.assertEqual([t for _, t, _ in given if paused + EDGE_US < t < resumed - TOLD_LATE_US], [], "notes while paused")


def _position(state, t):
    """The song's position at t (this host's microseconds) under the state, around its loop."""
    position = state["position"] + (t - state["at"]) / 1000 * state["tempo"] / 100
    loop = state["loop"]
    if loop and state["position"] < loop[1] <= position:
        position = loop[0] + (position - loop[1]) % (loop[1] - loop[0])
    return position


def _micros():
    return time.monotonic_ns() // 1000


if __name__ == "__main__":
    e2e.main()
