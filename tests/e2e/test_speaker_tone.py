"""The speaker test "-t": the tone it plays, how long it takes, and what it says without a speaker."""
import time
import unittest

import e2e_support as e2e
import tone_capture

NO_SPEAKER = "No speaker found: tones are timed silently.\n"


def timed_run(*args, env):
    started = time.monotonic()
    status, out, err = e2e.run(*args, env=env)
    return status, out, err, time.monotonic() - started


@unittest.skipIf(tone_capture.pc_speaker_present(), "tones go to the PC speaker, not to ALSA")
class SpeakerTest(unittest.TestCase):
    def test_plays_500_hz_for_500_ms_through_alsa(self):
        with tone_capture.Capture() as capture:
            status, out, err, seconds = timed_run("-t", env=capture.env)
            heard = capture.measure()
        self.assertEqual((status, out, err), (0, e2e.BANNER + "Quit.\n", ""))
        # Exact, no tolerance: the file device records every sample written and the wave is made
        # from the sample index alone, so nothing in the count depends on timing.
        self.assertEqual(heard.samples, 24000)
        self.assertEqual(heard.cycles, 250)
        self.assertEqual(heard.segments, [(500.0, 500.0)])
        # The file device takes samples faster than real time; the call still lasts the tone.
        self.assertGreaterEqual(seconds, 0.5)

    def test_without_any_speaker_the_tone_is_timed_silently(self):
        with tone_capture.silent_home() as env:
            status, out, err, seconds = timed_run("-t", env=env)
        # Said once, and nothing of ALSA's own complaints about the missing card.
        self.assertEqual((status, out, err), (0, e2e.BANNER + "Quit.\n", NO_SPEAKER))
        self.assertGreaterEqual(seconds, 0.5)


if __name__ == "__main__":
    e2e.main()
