"""A page in a tab behind another, whose timers Chromium wakes only once a minute once it has been
hidden for a minute, waits for a -w server's song far longer than the 10 s of silence that lets a
page go: it answers the bridge's pings, which still come, from its message handler. It keeps its
slot, then plays its notes when the song starts."""
import json
import os
import tempfile
import time
import unittest

import e2e_support as e2e
import server_support as server

from virtual_room import VirtualRoom  # tools/, on the path once e2e_support is imported
from web_browser import Browser

VOICES = [[(i * 200, 200, key) for i, key in enumerate([60, 64, 67, 72])]]
SERVER, BROWSER = 0, 1
PAGE_URL = "http://%s:27080/?test" % VirtualRoom.address(SERVER)
# A chain of timers in the page, each asking for 250 ms, and the gaps it saw between them.
TIMER_GAPS = ("window.gaps = []; (function next(last) { setTimeout(() => { const now = performance.now();"
              " gaps.push(now - last); next(now); }, 250); })(performance.now());")
THROTTLED_GAP_MS = 20000  # twice the silence limit without a timer of the page running


class HiddenPage(unittest.TestCase):
    def test_a_hidden_page_keeps_its_slot_while_its_timers_sleep_and_plays_when_the_song_starts(self):
        with tempfile.TemporaryDirectory() as folder, VirtualRoom(2) as room:
            song = server.write_song(os.path.join(folder, "song.mid"), VOICES)
            performer = server.Watched(room.start(SERVER, [e2e.TONECAST, "-s", song, "-w", "--web"],
                                                  stdout=-1, stderr=-1, text=True))
            try:
                self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"), performer.out)
                with Browser(command_prefix=room.command(BROWSER, []), throttled=True) as browser:
                    page = browser.open(PAGE_URL, hidden=True)
                    self.assertEqual(page.evaluate("document.visibilityState"), "hidden")
                    self.assertTrue(_wait(lambda: page.evaluate("window.tonecast.id") == 0, 15), page.console()[-5:])
                    page.evaluate(TIMER_GAPS)
                    self.assertTrue(_wait(lambda: page.evaluate("Math.max(0, ...gaps)") >= THROTTLED_GAP_MS, 180),
                                    page.evaluate("gaps"))
                    self.assertEqual(page.evaluate("window.tonecast.id"), 0)
                    room.run(BROWSER, [e2e.TONECAST, "-a"], capture_output=True, timeout=10)
                    page.wait_for_console("tonecast-over", timeout=20)
                    played = [json.loads(line.split(" ", 1)[1]) for line in page.console()
                              if line.startswith("tonecast-played")]
                status, out, _ = performer.finish(timeout=20)
            finally:
                performer.kill()

        # No "Client 0 disconnected.": the page was never let go.
        self.assertEqual((status, out), (0, server.server_prefix(VOICES, waiting=True) + "SV: got activate\nQuit.\n"))
        # Whether they sounded in time is the listening bench's to measure, not a loaded machine's.
        self.assertEqual([(note["key"], note["late"] == "missed") for note in played],
                         [(key, False) for _, _, key in VOICES[0]])


def _wait(condition, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(1)
    return False


if __name__ == "__main__":
    e2e.main()
