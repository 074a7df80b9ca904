"""What the listening benchmark hears: a short song played by two clients of the virtual room into a
private PulseAudio sink, one channel each, is found note for note at the pitch tonecast plays."""
import argparse
import io
import os
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


if __name__ == "__main__":
    e2e.main()
