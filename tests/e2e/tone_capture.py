"""Hearing tonecast's tones without a sound card: ALSA's file device records them, this measures them.

    with tone_capture.Capture() as capture:
        e2e.run("-t", env=capture.env)
        heard = capture.measure()
    heard.samples    # 24000: samples of tone (silence between and around tones not counted)
    heard.cycles     # 250: rising zero crossings
    heard.segments   # [(500.0, 500.0)]: (frequency in Hz, duration in ms) of each tone, in order

    with tone_capture.silent_home() as env:   # no usable ALSA device at all
        e2e.run("-t", env=env)

The recording is raw signed 16-bit little-endian mono at 48000 Hz, exactly what tonecast wrote.
Only the ALSA backend can be captured: on a machine with a PC speaker input device tonecast uses
that instead, so the tests using this module check `pc_speaker_present()` first.
"""
import array
import collections
import contextlib
import glob
import os
import sys
import tempfile

RATE = 48000

Measurement = collections.namedtuple("Measurement", "samples cycles segments")


def pc_speaker_present():
    """Whether tonecast would play through the PC speaker rather than through ALSA."""
    return bool(glob.glob("/dev/input/by-path/*-event-spkr"))


def _home_env(home, asoundrc):
    with open(os.path.join(home, ".asoundrc"), "w") as config:
        config.write(asoundrc)
    env = dict(os.environ, HOME=home)
    # Both would point ALSA at configuration outside the temporary home.
    env.pop("XDG_CONFIG_HOME", None)
    env.pop("ALSA_CONFIG_PATH", None)
    return env


class Capture:
    """A temporary HOME whose ALSA default PCM writes every sample played to a file.

    env: the environment for a tonecast subprocess; path: the recording."""

    def __enter__(self):
        self._directory = tempfile.TemporaryDirectory(prefix="tonecast-capture-")
        self.path = os.path.join(self._directory.name, "tones.raw")
        self.env = _home_env(self._directory.name,
                             'pcm.!default { type file; slave.pcm "null"; file "%s"; format "raw" }\n'
                             % self.path)
        return self

    def __exit__(self, *exc):
        self._directory.cleanup()

    def samples(self):
        """Every sample recorded so far, as a list of ints (empty when nothing was played)."""
        if not os.path.exists(self.path):
            return []
        recorded = array.array("h")
        with open(self.path, "rb") as raw:
            data = raw.read()
        recorded.frombytes(data[:len(data) - len(data) % 2])
        if sys.byteorder != "little":
            recorded.byteswap()
        return recorded.tolist()

    def measure(self):
        return measure(self.samples())


@contextlib.contextmanager
def silent_home():
    """Yields an environment whose ALSA default PCM cannot be opened."""
    with tempfile.TemporaryDirectory(prefix="tonecast-silent-") as home:
        yield _home_env(home, 'pcm.!default { type hw; card 99 }\n')


def _tone_spans(samples):
    """(start, end) of each tone: runs of sound, split where one tone ramps down and the next up.

    A tone is a square wave at full amplitude apart from its ramps, so inside a run of sound the
    envelope falls below half the amplitude only at the ramps between two tones; the split goes
    after the quietest sample of that valley."""
    loudest = max((abs(s) for s in samples), default=0)
    spans = []
    index = 0
    while index < len(samples):
        if samples[index] == 0:
            index += 1
            continue
        start = index
        while index < len(samples) and samples[index] != 0:
            index += 1
        spans.extend(_split_at_valleys(samples, start, index, loudest))
    return spans


def _split_at_valleys(samples, start, end, loudest):
    spans = []
    index = start
    while index < end:
        if abs(samples[index]) * 2 >= loudest:
            index += 1
            continue
        valley = index
        while index < end and abs(samples[index]) * 2 < loudest:
            index += 1
        # A valley touching either end of the run is an outer ramp, not a join between tones.
        if valley == start or index == end:
            continue
        quietest = min(range(valley, index), key=lambda i: abs(samples[i]))
        spans.append((start, quietest + 1))
        start = quietest + 1
    spans.append((start, end))
    return spans


def _rising_crossings(samples, start, end):
    """Rising zero crossings, counting each tone's first upward step out of silence."""
    crossings = 0
    previous = 0
    for sample in samples[start:end]:
        if previous <= 0 < sample:
            crossings += 1
        previous = sample
    return crossings


def tone_starts(samples):
    """The first sample of each tone."""
    return [start for start, _ in _tone_spans(samples)]


def measure(samples):
    """Measures a recording (list of ints): a Measurement of its tones."""
    segments = []
    total_samples = 0
    total_cycles = 0
    for start, end in _tone_spans(samples):
        length = end - start
        cycles = _rising_crossings(samples, start, end)
        total_samples += length
        total_cycles += cycles
        segments.append((cycles * RATE / length, length * 1000.0 / RATE))
    return Measurement(total_samples, total_cycles, segments)
