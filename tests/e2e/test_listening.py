"""What the listening benchmark hears: a short song played by two clients of the virtual room into a
private PulseAudio sink, one channel each, is found note for note at the pitch tonecast plays; and
keys held by an RTP-MIDI player in a live room sound as long as they were held, each as one tone."""
import argparse
import io
import os
import signal
import sys
import tempfile
import unittest

import e2e_support as e2e
import server_support as server
import tone_capture

sys.path.insert(0, os.path.join(e2e.REPO, "tools"))
import demo  # noqa: E402
import room_sound as sound  # noqa: E402
from virtual_room import VirtualRoom  # noqa: E402

CLIENTS = 2
# Two voices over four octaves, overlapping, as (start ms, length ms, key).
SONG = [[(0, 200, 36), (200, 200, 60), (400, 200, 84), (600, 200, 96)],
        [(100, 200, 43), (300, 200, 67), (500, 100, 79), (600, 200, 72)]]
PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rtp_midi_peer.py")
# A key held across two slices, a rest, a key let go inside its first slice: (key, held ms, rest ms).
LIVE_KEYS = [(69, 530, 270), (72, 120, 500)]
# A loaded machine's timer and scheduling may move a held key's ends by this much; a tone's end left
# to its slice, or a stream whose frames were counted back, is 60 ms or more off.
LIVE_SLACK_MS = 30


@unittest.skipIf(tone_capture.pc_speaker_present(), "tones go to the PC speaker, not to ALSA")
class Listening(unittest.TestCase):
    def test_every_note_of_a_short_song_is_heard_at_its_pitch(self):
        with tempfile.TemporaryDirectory() as folder:
            options = argparse.Namespace(tonecast=e2e.TONECAST, tonecast_server=None, tonecast_client=None,
                                         song=server.write_song(os.path.join(folder, "song.mid"), SONG))
            names = ["c%d" % index for index in range(CLIENTS)]
            shown = io.StringIO()
            console = demo.Console(shown)
            with sound.SoundServer(folder, names) as sink, VirtualRoom(CLIENTS + 2) as room:
                with sink.record() as recording:
                    faults = demo.perform(room, options, CLIENTS, console,
                                          lambda index: sink.player_env(names[index]))
            self.assertEqual(faults, [], shown.getvalue())
        heard = [tone for channel in range(CLIENTS)
                 for tone in sound.detect_tones(recording.samples[:, channel], recording.rate)]
        keys = [sound.key_of(tone.frequency)[0] for tone in heard]
        self.assertEqual(sorted(keys), sorted(key for voice in SONG for _, _, key in voice))
        for tone, key in zip(heard, keys):
            self.assertAlmostEqual(tone.frequency / sound.key_frequency(key), 1, delta=0.002, msg=key)

    def test_keys_held_live_sound_as_long_as_they_were_held(self):
        server_host, client_host, player_host = range(3)
        script = ["invite", "clock"]
        for key, held_ms, rest_ms in LIVE_KEYS:
            script += ["on:%d" % key, "wait:%d" % held_ms, "off:%d" % key, "wait:%d" % rest_ms]
        with tempfile.TemporaryDirectory() as folder:
            with sound.SoundServer(folder, ["c0"]) as sink, VirtualRoom(3) as room, sink.record() as recording:
                started = []
                try:
                    started.append(server.Watched(room.start(server_host, [e2e.TONECAST, "--live", "--rtp-midi"],
                                                             stdout=-1, stderr=-1, text=True)))
                    self.assertTrue(e2e.wait_until(lambda: ":5004\n" in started[0].err), started[0].err)
                    started.append(server.Watched(room.start(client_host, [e2e.TONECAST, "-c"], stdout=-1,
                                                             stderr=-1, text=True, env=sink.player_env("c0"))))
                    self.assertTrue(started[1].wait_for("Got id: 0"), started[1].out)
                    player = server.Watched(room.start(player_host, [sys.executable, PEER, VirtualRoom.address(
                        server_host), "5004", *script, "bye"], stdout=-1, stderr=-1, text=True))
                    started.append(player)
                    self.assertEqual(player.finish(timeout=30)[0], 0, player.err)
                    started[0].process.send_signal(signal.SIGINT)
                    self.assertEqual(started[0].finish(timeout=30)[0], 0, started[0].out)
                finally:
                    for process in started:
                        process.kill()
        heard = sound.detect_tones(recording.samples[:, 0], recording.rate)
        self.assertEqual([sound.key_of(tone.frequency)[0] for tone in heard], [key for key, _, _ in LIVE_KEYS])
        lengths_ms = [tone.frames * 1000 / recording.rate for tone in heard]
        for (key, held_ms, _), length_ms in zip(LIVE_KEYS, lengths_ms):
            self.assertAlmostEqual(length_ms, held_ms, delta=LIVE_SLACK_MS, msg=key)
        apart_ms = (heard[1].onset - heard[0].onset) * 1000 / recording.rate
        self.assertAlmostEqual(apart_ms, sum(LIVE_KEYS[0][1:]), delta=LIVE_SLACK_MS)


if __name__ == "__main__":
    e2e.main()
