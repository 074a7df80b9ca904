"""A room of one PC and two browser pages: the server serves its page with --web, a real Chromium
on another host of the virtual room opens it and joins twice, and the song is played by all three
voices on the server's clock. A third page shows a phone that locks (it is dropped after 10 s of
silence and joins again when it wakes), one whose sound stops (it leaves at once) and one that is
closed (its slot is freed). A page in a tab behind another, whose timers Chromium wakes only once a
minute after it has been hidden for a minute, waits for the song far longer than those 10 s: it
answers the bridge's pings, which still come, from its message handler. Rooms of mixed hosts: the
server's build (--tonecast-server, a Windows one under Wine) plays to a PC of the clients' build, a
Linux PC and a page, and shows its QR code on a console as the Linux build does."""
import json
import os
import pty
import re
import select
import struct
import tempfile
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server

from virtual_room import VirtualRoom  # tools/, on the path once e2e_support is imported
from web_browser import Browser

# Three voices over two and a half seconds, in milliseconds (start, length, key).
VOICES = [
    [(i * 200, 200, key) for i, key in enumerate([60, 62, 64, 65, 67, 69, 71, 72, 71, 69, 67, 65])],
    [(i * 400, 400, key) for i, key in enumerate([48, 52, 55, 47, 48, 53])],
    [(100 + i * 400, 150, key) for i, key in enumerate([76, 79, 84, 81, 79, 76])],
]
SERVER, PC, BROWSER, LINUX_PC = 0, 1, 2, 3
PAGE_URL = "http://%s:27080/?test" % VirtualRoom.address(SERVER)
SILENCE_LIMIT_SECONDS = 10
# A chain of timers in a page, each asking for 250 ms, and the gaps it saw between them.
TIMER_GAPS = ("window.gaps = []; (function next(last) { setTimeout(() => { const now = performance.now();"
              " gaps.push(now - last); next(now); }, 250); })(performance.now());")
THROTTLED_GAP_MS = 2 * SILENCE_LIMIT_SECONDS * 1000  # with not one timer of the page run
# The addresses to open, loopback last, with the QR code (or nothing) after the audience's; the
# conductor's with a random key of 32 hex digits.
JOIN_ADDRESSES = ("Phones and laptops join the room by opening:\n  http://%s:27080/\n  http://127.0.0.1:27080/\n%s"
                  "The conductor steers the room from:\n  http://%s:27080/conductor/([0-9a-f]{32})\n"
                  "  http://127.0.0.1:27080/conductor/\\1\n")
HALF_BLOCKS = " \u2580\u2584\u2588"
WINE_START_SECONDS = 60  # a Wine of its own for each program, on a loaded machine
# The page's room clock fed exchanges of the test's own (microseconds, 1 ms round trips, 4 a second):
# 15 s on one offset (a perfectly flat line), a forged reply and a replayed one, then a step of 20 s
# in the server's clock: two fast exchanges that disagree, one that agrees, and three that disagree.
# Each figure is how far a moment is placed from the truth: the old offset's until the third. A song
# placed 3 hours in (past the server's 32-bit wrap) before the step is 20 s further on after it, as
# when this device slept while the room played on. A song at half tempo moves at half the clock's
# pace, a paused one stands still, and its end names the next.
CLOCK_CHECK = """(() => {
  const c = window.tonecast.clock;
  let t = 1e9, stamp = 0;
  const ask = (offset) => {
    t += 250000;
    c.recordRequest(++stamp, t);
    return c.takeReply(stamp, t + 500 + offset, t + 1000);
  };
  const off = (offset) => Math.round(c.localOf(t + 5e6 + offset, t) - (t + 5e6));
  c.resetClock();
  for (let i = 0; i < 60; i++) ask(0);
  const flat = [window.tonecast.driftPpm, off(0)];
  const forged = [c.takeReply(stamp + 1, t + 2e6, t + 1000), (ask(0), c.takeReply(stamp, t + 2e6, t + 2000)), off(0)];
  c.takeSong({ length: 4 * 3600e3, position: 3 * 3600e3, at: Math.round(performance.now() * 1000) >>> 0 });
  [20e6, 20e6, 0, 20e6, 20e6].forEach(ask);
  const held = off(0);
  ask(20e6);
  const song = Math.round(c.songPositionMs() / 1000);
  c.takeSong({ length: 4 * 3600e3, position: 5000, at: 0, tempo: 50 });
  const from = c.songPositionMs(), begun = performance.now();
  while (performance.now() - begun < 100);
  const tempo = Math.round(((c.songPositionMs() - from) / (performance.now() - begun)) * 10) / 10;
  c.takeSong({ length: 4 * 3600e3, position: 5000, at: 0, paused: true, name: "a.mid", next: "b.mid" });
  const paused = c.songPositionMs();
  window.tonecast.take({ songEnd: 1 });
  const ended = [c.songPositionMs(), document.getElementById("message").textContent];
  return { flat, forged, held, stepped: off(20e6), song, tempo, paused, ended };
})()"""


class WebRoom(unittest.TestCase):
    def test_a_pc_and_two_pages_play_the_song_and_a_page_that_sleeps_or_closes_gives_its_slot_back(self):
        with tempfile.TemporaryDirectory() as folder, VirtualRoom(3) as room, room.capture() as capture:
            song = server.write_song(os.path.join(folder, "song.mid"), VOICES)
            performer = server.Watched(room.start(SERVER, [e2e.TONECAST, "-s", song, "-w", "--web"],
                                                  stdout=-1, stderr=-1, text=True))
            pc = None
            try:
                self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
                pc = server.Watched(room.start(PC, [e2e.TONECAST, "-c"], stdout=-1, text=True))
                self.assertTrue(e2e.wait_until(lambda: peers.reply(peers.MSG_ASSIGN_ID, 0) in
                                               [d.payload[:6] for d in capture.datagrams(PC)]))
                with Browser(command_prefix=room.command(BROWSER, [])) as browser:
                    pages = [self._join(browser, expected_id) for expected_id in (1, 2, 3)]
                    self._sleep_and_wake(browser, pages[2], performer)
                    self._sound_stops(pages[2], performer)
                    pages.pop().close()
                    self.assertTrue(performer.wait_for("SV: Binded to port 27000\n" + "Client 3 disconnected.\n" * 3),
                                    performer.out)

                    room.run(BROWSER, [e2e.TONECAST, "-a"], capture_output=True, timeout=10)
                    pages[0].wait_for_console("tonecast-played", count=3, timeout=20)
                    pages[0].screenshot("web_room_page.png")
                    for page in pages:
                        page.wait_for_console("tonecast-over", timeout=20)
                    played = [line for page in pages for line in page.console() if line.startswith("tonecast-played")]
                    shown = [page.evaluate("document.body.innerText") for page in pages]
                    refused = [line for page in pages for line in page.log() if "Content Security Policy" in line]
                    clock = pages[0].evaluate(CLOCK_CHECK)
                status, out, err = performer.finish(timeout=20)
                pc_status, pc_out, _ = pc.finish(timeout=10)
            finally:
                for watched in (performer, pc):
                    if watched is not None:
                        watched.kill()

        self.assertEqual((status, out), (0, server.server_prefix(VOICES, waiting=True) + "Client 3 disconnected.\n" * 3
                                         + "SV: got activate\nQuit.\n"))
        # No QR code where standard error is not a terminal.
        self.assertRegex(err, "^%s$" % _join_addresses(""))
        self.assertEqual((pc_status, pc_out.endswith("Server quit.\nQuit.\n")), (0, True), pc_out)
        for text in shown:
            self.assertIn("The song is over", text)
        # The page's script, style and socket are all its own: the server's policy refuses none.
        self.assertEqual(refused, [])
        self.assertEqual(clock, {"flat": [0, 0], "forged": [False, False, 0], "held": 0, "stepped": 0,
                                 "song": 3 * 3600 + 20, "tempo": 0.5, "paused": 5000,
                                 "ended": [None, "Next song: b.mid"]})

        self._assert_each_note_sounded_once({0: _pc_notes(capture, PC)}, played)

    def test_mixed_hosts_the_server_plays_to_a_pc_of_each_build_and_a_page(self):
        with tempfile.TemporaryDirectory() as folder, VirtualRoom(4) as room, room.capture() as capture:
            song = server.write_song(os.path.join(folder, "song.mid"), VOICES)
            performer = server.Watched(room.start(SERVER, [*e2e.SERVER_COMMAND, "-s", song, "-w", "--web"],
                                                  stdout=-1, stderr=-1, text=True))
            pcs = []
            try:
                self.assertTrue(performer.wait_for("SV: Binded to port 27000\n", WINE_START_SECONDS), performer.out)
                for client_id, (host, command) in enumerate([(PC, e2e.CLIENT_COMMAND), (LINUX_PC, [e2e.TONECAST])]):
                    pcs.append(server.Watched(room.start(host, [*command, "-c"], stdout=-1, stderr=-1, text=True)))
                    assigned = peers.reply(peers.MSG_ASSIGN_ID, client_id)
                    self.assertTrue(e2e.wait_until(lambda host=host, assigned=assigned: assigned in [
                        d.payload[:6] for d in capture.datagrams(host)], WINE_START_SECONDS))
                with Browser(command_prefix=room.command(BROWSER, [])) as browser:
                    page = self._join(browser, 2)
                    room.run(BROWSER, [e2e.TONECAST, "-a"], capture_output=True, timeout=10)
                    page.wait_for_console("tonecast-over", timeout=30)
                    played = [line for line in page.console() if line.startswith("tonecast-played")]
                status, out, err = performer.finish(timeout=30)
                endings = [pc.finish(timeout=30) for pc in pcs]
            finally:
                for watched in (performer, *pcs):
                    watched.kill()
        self.assertEqual((status, out), (0, server.server_prefix(VOICES, waiting=True) + "SV: got activate\nQuit.\n"))
        self.assertRegex(err, "^%s$" % _join_addresses(""))
        for pc_status, pc_out, _ in endings:
            self.assertEqual((pc_status, pc_out.endswith("Server quit.\nQuit.\n")), (0, True), pc_out)
        self._assert_each_note_sounded_once({0: _pc_notes(capture, PC), 1: _pc_notes(capture, LINUX_PC)}, played)

    def test_mixed_hosts_the_server_shows_the_qr_code_on_a_console_as_the_linux_build_does(self):
        with VirtualRoom(1) as room:
            screens = [_console_screen(room, [*command, "-s", os.path.join(e2e.REPO, "songs", "frere_jacques.mid"),
                                              "-w", "--web"]) for command in (e2e.SERVER_COMMAND, [e2e.TONECAST])]
        codes = [[line for line in screen.split("\n") if line.strip() and set(line) <= set(HALF_BLOCKS)]
                 for screen in screens]
        self.assertEqual(codes[0], codes[1], screens[0])
        # Two rows of modules a line, inside a light quiet zone of 2: a square of a side of 25 or more.
        side = len(codes[1][0]) - 2
        self.assertEqual((len(codes[1]), codes[1][0]), ((side + 1) // 2, "  " + HALF_BLOCKS[3] * side))
        self.assertGreaterEqual(side, 25)
        for screen in screens:
            self.assertRegex(screen, _join_addresses(re.escape("\n".join(codes[1]) + "\n")))

    def _assert_each_note_sounded_once(self, sounded, played):
        """Every note of the song reached one voice, a PC (sounded: its notes by its id) or a page,
        with its moment on the server's clock: one origin for them all."""
        for line in played:
            # Whether it sounded in time is the listening bench's to measure, not a loaded machine's.
            note = json.loads(line.split(" ", 1)[1])
            sounded.setdefault(note["id"], []).append((note["key"], note["ms"], note["at"]))
        self.assertEqual(sorted(sounded), [0, 1, 2], "each voice plays part of the song")
        notes = [note for voice in sounded.values() for note in voice]
        origin = [at for key, _, at in notes if key == 60][0]  # the song's first note, and its only C4
        self.assertEqual(sorted((key, length, (at - origin) % 2 ** 32) for key, length, at in notes),
                         sorted((key, length - 20, start * 1000) for voice in VOICES for start, length, key in voice))

    def test_a_hidden_page_keeps_its_slot_while_its_timers_sleep_and_plays_when_the_song_starts(self):
        voices = VOICES[1:2]
        with tempfile.TemporaryDirectory() as folder, VirtualRoom(3) as room:
            song = server.write_song(os.path.join(folder, "song.mid"), voices)
            performer = server.Watched(room.start(SERVER, [e2e.TONECAST, "-s", song, "-w", "--web"],
                                                  stdout=-1, stderr=-1, text=True))
            try:
                self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
                with Browser(command_prefix=room.command(BROWSER, []), throttled=True) as browser:
                    page = browser.open(PAGE_URL, hidden=True)
                    self.assertEqual(page.evaluate("document.visibilityState"), "hidden")
                    self.assertTrue(e2e.wait_until(lambda: page.evaluate("window.tonecast.id") == 0), page.console()[-5:])
                    page.evaluate(TIMER_GAPS)
                    self.assertTrue(e2e.wait_until(lambda: page.evaluate("Math.max(0, ...gaps)") >= THROTTLED_GAP_MS, 180),
                                    page.evaluate("gaps"))
                    room.run(BROWSER, [e2e.TONECAST, "-a"], capture_output=True, timeout=10)
                    page.wait_for_console("tonecast-over", timeout=20)
                    played = [json.loads(line.split(" ", 1)[1]) for line in page.console()
                              if line.startswith("tonecast-played")]
                status, out, _ = performer.finish(timeout=20)
            finally:
                performer.kill()
        # Never let go, and not one note missed.
        self.assertEqual((status, out), (0, server.server_prefix(voices, waiting=True) + "SV: got activate\nQuit.\n"))
        self.assertEqual([(note["id"], note["key"], note["late"] == "missed") for note in played],
                         [(0, key, False) for _, _, key in voices[0]])

    def _join(self, browser, expected_id):
        page = browser.open(PAGE_URL)
        self.assertTrue(e2e.wait_until(lambda: page.evaluate("window.tonecast.id") == expected_id),
                        page.console()[-5:])
        return page

    def _sleep_and_wake(self, browser, page, performer):
        """A frozen page says nothing: its slot is freed as a PC's good-bye frees one. Woken, it joins
        again and gets the lowest free slot, its old one."""
        frozen = time.monotonic()
        browser.send("Page.setWebLifecycleState", {"state": "frozen"}, page.session)
        self.assertTrue(performer.wait_for("Client 3 disconnected.\n", timeout=SILENCE_LIMIT_SECONDS + 5))
        self.assertGreaterEqual(time.monotonic() - frozen, SILENCE_LIMIT_SECONDS - 1)
        browser.send("Page.setWebLifecycleState", {"state": "active"}, page.session)
        # Woken, it first finds its socket closed, then joins again.
        self.assertTrue(e2e.wait_until(lambda: page.evaluate("window.tonecast.id") is None), page.console()[-5:])
        self.assertTrue(e2e.wait_until(lambda: page.evaluate("window.tonecast.id") == 3), page.console()[-5:])

    def _sound_stops(self, page, performer):
        """A page whose sound stops (a call, an interruption) leaves at once rather than miss every
        note; a tap on Join gives it sound and its place again."""
        page.evaluate("window.tonecast.audio().suspend()")
        self.assertTrue(performer.wait_for("Client 3 disconnected.\n" * 2, timeout=SILENCE_LIMIT_SECONDS / 2))
        self.assertTrue(e2e.wait_until(lambda: "Tap Join to play again." in page.evaluate("document.body.innerText")))
        page.evaluate("document.getElementById('join').click()")
        self.assertTrue(e2e.wait_until(lambda: page.evaluate("window.tonecast.id") == 3), page.console()[-5:])


def _join_addresses(qr_code):
    """A pattern of the addresses the server on the room's first host prints, qr_code between them."""
    address = re.escape(VirtualRoom.address(SERVER))
    return JOIN_ADDRESSES % (address, qr_code, address)


def _pc_notes(capture, host):
    """The timed notes a PC was sent: (key, length, the server's microsecond)."""
    return [peers.reply_of(datagram.payload)[1:] + struct.unpack("<I", datagram.payload[6:10])
            for datagram in capture.datagrams(host) if datagram.payload[:2] == b"\x06\x00"]


def _console_screen(room, argv, seconds=WINE_START_SECONDS):
    """What a console shows of argv, run on the room's first host with its standard streams on a
    terminal, until the conductor's last address is shown. Wine draws its console with cursor moves
    (a run of spaces as a jump), which are rendered here, and ends lines with a second return."""
    controller, terminal = pty.openpty()
    process = room.start(SERVER, argv, stdin=terminal, stdout=terminal, stderr=terminal)
    os.close(terminal)
    shown, screen = b"", ""
    deadline = time.monotonic() + seconds
    try:
        while not re.search(_join_addresses(".*"), screen, re.S) and time.monotonic() < deadline:
            if select.select([controller], [], [], 0.5)[0]:
                try:
                    shown += os.read(controller, 65536)
                except OSError:  # the program ended
                    break
                jumps = re.sub(rb"\x1b\[K\x1b\[(\d+)C", lambda jump: b" " * int(jump[1]), shown)
                screen = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]|\r", b"", jumps).decode("utf-8", "replace")
    finally:
        process.kill()
        process.wait()
        os.close(controller)
    return screen


if __name__ == "__main__":
    e2e.main()
