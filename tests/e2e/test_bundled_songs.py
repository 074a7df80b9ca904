"""Every bundled song as `make demo` plays it: the server loads it without an error, showing the
voices and tempos its note list claims, and across four client hosts of a virtual room it plays
to the end with every one of its notes reaching a client. The songs have at most four voices, so
four clients leave no note without a player: not one may be dropped."""
import os
import signal
import subprocess
import sys
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import test_songs_files as song_files
import tone_capture

# From tools/, on the path once e2e_support is imported.
from virtual_room import VirtualRoom

DEMO = os.path.join(e2e.REPO, "tools", "demo.py")
CLIENTS = 4
SERVER_HOST = 0
# Said on standard error by a client that has no speaker to sound (Linux hosts without one).
NO_SPEAKER = "No speaker found: tones are timed silently."
# Said on standard error by a client a note reached after its moment: whether notes come in time is
# the listening bench's to measure, not a loaded machine's (a client under Wine, say).
LATE_NOTES = "Notes that came after their moment: "


def printed(output, name):
    """The lines that the demo's process of that name printed."""
    prefix = name + " | "
    return [line[len(prefix):] for line in output.splitlines() if line.startswith(prefix)]


def loading_lines(fmt, tracks, division, tempos):
    """What loading prints: the header, then each tempo of the note list in microseconds."""
    lines = ["header: %d %d div:%d" % (fmt, tracks, division)]
    for _, _, bpm in tempos:
        microseconds = round(60e6 / bpm)
        lines += ["Tempo: %d [4]" % microseconds, "length of quarternote: %d ms" % (microseconds // 1000)]
    return lines


def sent_notes(tracks, division):
    """Every note of the song as the server sends it: (key, tone length in ms), sorted."""
    return sorted((key, length) for _, key, length in song_files.program_notes(tracks, division))


class BundledSongs(unittest.TestCase):
    def test_every_song_loads_and_plays_to_the_end_across_four_clients(self):
        names = e2e.SONGS or song_files.song_names()
        self.assertGreaterEqual(len(names), 1 if e2e.SONGS else 3)
        for name in names:
            with self.subTest(song=name):
                started = time.monotonic()
                self.check_song(name)
                print("%s: played in %.1f s" % (name, time.monotonic() - started), file=sys.stderr)

    def check_song(self, name):
        path = os.path.join(song_files.SONGS, name + ".mid")
        with open(path, "rb") as song:
            fmt, division, tracks = song_files.read_midi(song.read())
        voices, _, tempos = song_files.claimed(name)
        self.assertEqual(len(tracks), 1 + voices)
        self.assertLessEqual(voices, CLIENTS)

        # The room the demo makes: its host names, known before it exists, let the capture,
        # listening on every link of this private network, tell which host received what.
        room = VirtualRoom(CLIENTS + 2)
        with room.capture() as capture, tone_capture.silent_home() as env:
            result = subprocess.run([sys.executable, DEMO, "--tonecast", e2e.TONECAST, *e2e.ROLE_OPTIONS,
                                     "--song", path, "--clients", str(CLIENTS)],
                                    capture_output=True, text=True, env=env, timeout=180)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

        self.assertEqual(printed(result.stdout, "server"),
                         [e2e.BANNER.strip(), "Running as server", "Server waiting... use tonecast -a to begin."]
                         + loading_lines(fmt, len(tracks), division, tempos)
                         + ["SV: Binded to port 27000", "SV: got activate", "Quit."])
        for client_id in range(CLIENTS):
            self.assertEqual([line for line in printed(result.stdout, "c%d" % client_id)
                              if line != NO_SPEAKER and not line.startswith(LATE_NOTES)],
                             [e2e.BANNER.strip(), "Running as client", "Connecting...",
                              "Connected! Got id: %d" % client_id, "Server quit.", "Quit."])
        self.assertEqual(printed(result.stdout, "activate"), [e2e.BANNER.strip(), "Quit."])

        server_address = (room.address(SERVER_HOST), peers.SERVER_PORT)
        received = []
        for client_id in range(CLIENTS):
            replies = [peers.reply_of(d.payload) for d in capture.datagrams(1 + client_id)
                       if d.source == server_address]
            # Clients of this version know the room's clock: welcomed, their notes come ahead.
            self.assertEqual(replies[:2], [(peers.MSG_ASSIGN_ID, client_id, 0), (peers.MSG_WELCOME, 4, 0)])
            self.assertEqual(replies[-1], (peers.MSG_BYE, 0, 0))
            notes = [reply for reply in replies[2:-1] if reply[0] != peers.MSG_CLOCK_REPLY]
            self.assertEqual([kind for kind, _, _ in notes], [peers.MSG_TIMED_NOTE] * len(notes))
            received += [(key, length) for _, key, length in notes]
        # Every note with its length, none dropped, none twice.
        self.assertEqual(sorted(received), sent_notes(tracks, division))

    def test_a_stop_during_a_long_tone_ends_the_client_at_once_with_its_disconnect(self):
        # A 20 s note, then SIGINT (under Wine, the console's Ctrl+C): the tone does not hold it.
        server = peers.udp_listener(peers.SERVER_PORT, timeout=30)
        self.addCleanup(server.close)
        with tone_capture.silent_home() as env:
            client = subprocess.Popen(e2e.CLIENT_COMMAND + ["-c"], stdout=subprocess.PIPE, env=env, text=True)
            self.addCleanup(lambda: client.poll() is None and (client.kill(), client.communicate()))
            _, address = server.recvfrom(64)
            server.sendto(peers.reply(peers.MSG_ASSIGN_ID, 0), address)
            server.sendto(peers.reply(peers.MSG_NOTE, 69, 20000), address)
            time.sleep(1)
            client.send_signal(signal.SIGINT)
            stopped = time.monotonic()
            while server.recvfrom(64) != (peers.good_bye(0), address):
                pass
            self.assertLess(time.monotonic() - stopped, 1)
            out, _ = client.communicate(timeout=10)
        self.assertEqual(out.splitlines()[-1], "Quit.")
        self.assertEqual(client.returncode, 0)


if __name__ == "__main__":
    e2e.main()
