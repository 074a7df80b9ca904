"""What `make demo` runs, tools/demo.py: the short bundled song across four client hosts with every
line prefixed by its process, the bounds of the client count, and a failing run reported as one."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

import e2e_support as e2e
import server_support as server
import tone_capture

DEMO = os.path.join(e2e.REPO, "tools", "demo.py")
SHORT_SONG = os.path.join(e2e.REPO, "songs", "frere_jacques.mid")
SILENT = "No speaker found: tones are timed silently."
# Half a second of one voice: enough for a run that is about the number of clients.
TINY_SONG = [[(0, 250, 60), (250, 250, 64)]]


def run_demo(song, clients, timeout=120):
    """Runs the demo with clients that have no sound device, so the test stays quiet."""
    with tone_capture.silent_home() as env:
        return subprocess.run([sys.executable, DEMO, "--tonecast", e2e.TONECAST, "--song", song,
                               "--clients", str(clients)],
                              capture_output=True, text=True, env=env, timeout=timeout)


def lines_of(out, name):
    """The lines the demo shows for one process, without their prefix."""
    prefix = name + " | "
    return [line[len(prefix):] for line in out.splitlines() if line.startswith(prefix)]


class Demo(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def test_the_short_song_across_four_clients(self):
        result = run_demo(SHORT_SONG, 4)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        *shown, summary = result.stdout.splitlines()
        names = ["server", "c0", "c1", "c2", "c3", "activate"]
        for line in shown:
            self.assertRegex(line, r"^(%s) \| " % "|".join(names))
        self.assertRegex(summary, r"^demo: .*frere_jacques\.mid played by 4 clients in \d+\.\d s; "
                                  r"every process ended with status 0$")

        server_lines = lines_of(result.stdout, "server")
        self.assertEqual(server_lines[-2:], ["SV: got activate", "Quit."])
        self.assertIn("header: 1 5 div:480", server_lines)
        self.assertEqual(lines_of(result.stdout, "activate"), [e2e.BANNER.strip(), "Quit."])
        activated = shown.index("activate | Quit.")
        for index in range(4):
            name = "c%d" % index
            client = lines_of(result.stdout, name)
            self.assertEqual(client[:4], [e2e.BANNER.strip(), "Running as client", "Connecting...",
                                          "Connected! Got id: %d" % index], name)
            self.assertEqual(client[-2:], ["Server quit.", "Quit."], name)
            # Every client is connected before the song is started.
            self.assertLess(shown.index("%s | Connected! Got id: %d" % (name, index)), activated)
            if not tone_capture.pc_speaker_present():
                self.assertEqual(client.count(SILENT), 1, name)

    def test_one_to_thirty_two_clients_and_nothing_else(self):
        song = server.write_song(os.path.join(self.folder.name, "tiny.mid"), TINY_SONG)
        for clients in (1, 32):
            result = run_demo(song, clients)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            last = "c%d" % (clients - 1)
            self.assertIn("Connected! Got id: %d" % (clients - 1), lines_of(result.stdout, last))
            self.assertEqual(lines_of(result.stdout, last)[-2:], ["Server quit.", "Quit."])
            self.assertFalse(lines_of(result.stdout, "c%d" % clients))
        refused = [(0, song, "CLIENTS"), (33, song, "CLIENTS"), ("four", song, "CLIENTS"),
                   (-1, song, "CLIENTS"), (4, os.path.join(self.folder.name, "none.mid"), "none.mid")]
        for clients, path, complaint in refused:
            result = run_demo(path, clients, timeout=20)
            self.assertEqual(result.returncode, 2, (clients, path))
            self.assertIn(complaint, result.stderr)
            # Refused before anything was started.
            self.assertEqual(result.stdout, "", (clients, path))

    def test_a_song_the_server_refuses_fails_the_demo(self):
        path = os.path.join(self.folder.name, "text.mid")
        with open(path, "w") as text:
            text.write("not a MIDI file\n")
        result = run_demo(path, 2, timeout=60)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("server | Error:-2", result.stdout)
        self.assertEqual(lines_of(result.stdout, "server")[-1], "Quit.")
        self.assertFalse(lines_of(result.stdout, "c0"), "no client is started for a server that did not bind")
        self.assertTrue(re.search(r"^demo: FAILED .*server", result.stdout.splitlines()[-1]), result.stdout)


if __name__ == "__main__":
    e2e.main()
