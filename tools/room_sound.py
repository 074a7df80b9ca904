"""What a listener in the virtual room hears: a private PulseAudio server whose one null sink has a
channel per player, each player reaching its own channel through ALSA's pulse plugin, a recording
of the sink's monitor placed on the monotonic clock, and the tones found in it. The server runs as
one of PROFILES: the bench's own resampling sink, or a desktop's.

    with SoundServer(folder, ["c0", "c1"], profile="desktop") as sound:
        env = sound.player_env("c0")      # for a tonecast -c that plays into channel c0
        with sound.record() as recording: ...
    tones = detect_tones(recording.samples[:, 0], recording.rate)
    recording.monotonic(tones[0].onset)   # when the sink rendered that frame, on time.monotonic()

Needs Debian's pulseaudio, pulseaudio-utils (parec), libasound2-plugins and python3-numpy.
"""
import collections
import math
import os
import re
import subprocess
import sys
import threading
import time
import wave

import numpy

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "e2e"))
import test_songs_files as song_files  # noqa: E402

RATE = 48000       # tonecast's tones, and the reference's
# How a sound server runs the room's sink: its rate, how it resamples, whether its clients share
# memory with it, and the blocks the monitor's reader asks for (the sink renders at least that often).
Profile = collections.namedtuple("Profile", "rate resample_method shared_memory monitor_latency_ms")
PROFILES = {
    # The bench's own: the sink runs at a rate whose frames last whole microseconds (the null sink
    # advances its clock by each rendered block's length in whole microseconds, so at 48000 Hz it
    # runs 0.14 to 0.2 % fast against the monotonic clock). Streams reach it through the trivial
    # resampler, which only repeats frames: no ringing, no delay, an edge moved by at most one frame.
    # Read every millisecond, the monitor's arrival times stay within a fraction of a millisecond of
    # the sink's clock.
    "resampling": Profile(50000, "trivial", False, 1),
    # A desktop's: the sink at the streams' own rate, so nothing is resampled, shared memory on, and
    # the monitor read in the 20 ms fragments a recorder usually asks for.
    "desktop": Profile(RATE, "speex-float-1", True, 20),
}
DEFAULT_PROFILE = "resampling"
SERVER_READY_SECONDS = 10
SETTLE_SECONDS = 5
SETTLED_LATENCY_US = 10000
# Quieter than the softest sample of a tone's ramp (8000 / 49), louder than any rounding.
TONE_THRESHOLD = 64
# Shorter runs of silence inside a tone are not gaps between tones.
SHORTEST_GAP_FRAMES = 8
SHORTEST_TONE_MS = 1
# Arrival times are kept at their earliest per window: a late reader only ever adds delay.
CLOCK_WINDOW_SECONDS = 0.25
# Square waves as tonecast makes them (platform/speaker_wave.cpp).
TONE_AMPLITUDE = 8000
RAMP_FRAMES = RATE // 1000

Tone = collections.namedtuple("Tone", "onset frames frequency")    # frames of the recording
Note = collections.namedtuple("Note", "start key length")          # ms after the activate


def aux_channels(count):
    """A channel map of count channels without positions, which PulseAudio never remixes."""
    return ",".join("aux%d" % index for index in range(count))


def key_frequency(key):
    """The whole-hertz frequency tonecast plays for a key."""
    return int(6.875 * 2.0 ** ((key + 3) / 12.0))


def key_of(frequency):
    """The nearest key to a frequency and how far off it is, in cents."""
    exact = 69 + 12 * math.log2(frequency / 440.0)
    key = round(exact)
    return key, (exact - key) * 100


def song_notes(path):
    """The notes of a format 1 song as the server schedules them: Notes in time order."""
    with open(path, "rb") as song:
        _, division, tracks = song_files.read_midi(song.read())
    return [Note(*note) for note in song_files.program_notes(tracks, division)]


def square_tone(frequency, milliseconds):
    """The samples tonecast writes for a tone: a square wave with a 1 ms ramp at each edge."""
    frames = milliseconds * RATE // 1000
    index = numpy.arange(frames, dtype=numpy.int64)
    ramp = min(RAMP_FRAMES, frames // 2)
    from_edge = numpy.minimum(index + 1, frames - index)
    level = numpy.where(from_edge <= ramp, TONE_AMPLITUDE * from_edge // (ramp + 1), TONE_AMPLITUDE)
    return numpy.where(index * frequency % RATE < RATE // 2, level, -level).astype(numpy.int16)


def detect_tones(samples, rate):
    """The tones of one channel recorded at the rate, in order: runs of sound split by gaps of silence."""
    loud = numpy.flatnonzero(numpy.abs(samples.astype(numpy.int32)) > TONE_THRESHOLD)
    if len(loud) == 0:
        return []
    breaks = numpy.flatnonzero(numpy.diff(loud) > SHORTEST_GAP_FRAMES)
    starts = numpy.concatenate(([loud[0]], loud[breaks + 1]))
    ends = numpy.concatenate((loud[breaks] + 1, [loud[-1] + 1]))
    tones = []
    for start, end in zip(starts, ends):
        if end - start < SHORTEST_TONE_MS * rate // 1000:
            continue
        signs = samples[start:end] > 0
        # Each period of the square wave begins with one rising edge: the frequency is the number
        # of whole periods between the first rising edge and the last.
        rising = numpy.flatnonzero(signs[1:] & ~signs[:-1])
        if len(rising) < 2:
            continue
        tones.append(Tone(int(start), int(end - start), (len(rising) - 1) * rate / (rising[-1] - rising[0])))
    return tones


def sink_modules(names, groups, rate):
    """The sound server's modules for the room, each as its name and arguments: a null sink, "room",
    of one channel per name, and for each name, and each group (name, [channel names]), a sink of
    its own whose channels go to those channels of the room, unmixed."""
    modules = [["module-null-sink", "sink_name=room", "rate=%d" % rate, "format=s16le", "channels=%d" % len(names),
                "channel_map=" + aux_channels(len(names))]]
    for name, members in [(name, [name]) for name in names] + list(groups):
        modules.append(["module-remap-sink", "sink_name=" + name, "master=room", "channels=%d" % len(members),
                        "channel_map=" + ("mono" if len(members) == 1 else aux_channels(len(members))),
                        "master_channel_map=" + ",".join("aux%d" % names.index(member) for member in members),
                        "remix=no"])
    return modules


# ALSA's default PCM through its pulse plugin.
PULSE_ASOUNDRC = "pcm.!default { type pulse }\nctl.!default { type pulse }\n"


def player_home(home, asoundrc):
    """A player's home of its own, whose ALSA configuration is the text given."""
    os.makedirs(home, exist_ok=True)
    with open(os.path.join(home, ".asoundrc"), "w") as config:
        config.write(asoundrc)
    return home


class Running:
    """Started on entering a with block, stopped on leaving it."""

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()


class Recording(Running):
    """The sink's monitor, every channel, from start() to stop(); samples[frame, channel]."""

    def __init__(self, env, channels, rate, latency_ms):
        self._env = env
        self._channels = channels
        self.rate = rate
        self._latency_ms = latency_ms
        self._blocks = []
        self._arrivals = []  # (time.monotonic() just after a read, frames read so far)
        self.samples = None
        self._clock = None

    def start(self):
        self._process = subprocess.Popen(
            ["parec", "--device=room.monitor", "--raw", "--format=s16le", "--rate=%d" % self.rate,
             "--channels=%d" % self._channels, "--channel-map=" + aux_channels(self._channels),
             "--latency-msec=%d" % self._latency_ms],
            env=self._env, stdout=subprocess.PIPE)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        # Until the recording asked for short blocks the sink rendered up to 2 s ahead; nothing
        # played before that has been rendered would reach the monitor in time.
        deadline = time.monotonic() + SETTLE_SECONDS
        while self._sink_latency_us() > SETTLED_LATENCY_US and time.monotonic() < deadline:
            time.sleep(0.05)

    def _sink_latency_us(self):
        listing = subprocess.run(["pactl", "list", "sinks"], env=self._env, capture_output=True, text=True).stdout
        room = listing[listing.find("Name: room"):]
        found = re.search(r"Latency: (\d+) usec", room)
        return int(found[1]) if found else 0

    def _read(self):
        pipe, frame_bytes, frames = self._process.stdout.fileno(), 2 * self._channels, 0
        pending = b""
        while True:
            block = os.read(pipe, 65536)
            now = time.monotonic()
            if not block:
                break
            pending += block
            whole = len(pending) - len(pending) % frame_bytes
            self._blocks.append(pending[:whole])
            pending = pending[whole:]
            frames += whole // frame_bytes
            self._arrivals.append((now, frames))

    def stop(self):
        self._process.terminate()
        self._process.wait()
        self._reader.join()
        self._process.stdout.close()
        self.samples = numpy.frombuffer(b"".join(self._blocks), dtype="<i2").reshape(-1, self._channels)
        self._clock = self._fit_clock()

    def _fit_clock(self):
        """The sink's clock, as (seconds of frames, their offset to the monotonic clock) at the
        earliest arrival of each window, where the reader was quickest to see the frames; between
        windows the offset is drawn straight. No one line fits a whole recording: the sink's rate
        against the monotonic clock changes as streams come and go (a PulseAudio null sink at
        48 kHz runs up to 0.2 % fast, by how much with the blocks it renders)."""
        arrivals = numpy.array(self._arrivals)
        offsets = arrivals[:, 0] - arrivals[:, 1] / self.rate
        windows = ((arrivals[:, 0] - arrivals[0, 0]) // CLOCK_WINDOW_SECONDS).astype(int)
        points = []
        for window in numpy.unique(windows):
            chosen = numpy.flatnonzero(windows == window)
            best = chosen[numpy.argmin(offsets[chosen])]
            points.append((arrivals[best, 1] / self.rate, offsets[best]))
        points = numpy.array(points)
        return points[:, 0], points[:, 1]

    def monotonic(self, frame):
        """When the sink rendered a frame of the recording, on time.monotonic()."""
        seconds = frame / self.rate
        return seconds + numpy.interp(seconds, *self._clock)

    def frame_at(self, monotonic):
        """The frame of the recording the sink rendered at a time on time.monotonic()."""
        frame_seconds, offsets = self._clock
        return numpy.interp(monotonic, frame_seconds + offsets, frame_seconds) * self.rate


class SoundServer(Running):
    """A private PulseAudio server with one null sink, "room", of one channel per name; each name
    is also a sink of its own that plays into its channel of the room only."""

    def __init__(self, folder, names, groups=(), profile=DEFAULT_PROFILE):
        """groups: (name, [channel names]) sinks whose channels go to those channels of the room,
        for one process that plays several channels at once; profile: one of PROFILES."""
        self._folder = folder
        self.profile = PROFILES[profile]
        self.names = list(names)
        self._groups = list(groups)
        self._process = None

    def _path(self, *parts):
        return os.path.join(self._folder, *parts)

    def start(self):
        for part in ("home", "runtime"):
            os.makedirs(self._path(part), mode=0o700, exist_ok=True)
        lines = ["load-module module-native-protocol-unix socket=%s auth-anonymous=1" % self._path("native")]
        lines += ["load-module " + " ".join(module) for module in sink_modules(self.names, self._groups,
                                                                               self.profile.rate)]
        with open(self._path("server.pa"), "w") as script:
            script.write("\n".join(lines) + "\n")
        with open(self._path("client.conf"), "w") as conf:
            conf.write("autospawn = no\n")
        # A browser opens its stream at the server's default rate: the room's, so that nothing resamples it.
        os.makedirs(self._path("home", ".config", "pulse"), exist_ok=True)
        with open(self._path("home", ".config", "pulse", "daemon.conf"), "w") as conf:
            conf.write("default-sample-rate = %d\n" % self.profile.rate)
        self._process = subprocess.Popen(
            ["pulseaudio", "-n", "--file=" + self._path("server.pa"), "--daemonize=no", "--system=false",
             "--disallow-exit", "--exit-idle-time=-1", "--resample-method=" + self.profile.resample_method,
             "--use-pid-file=false", "--disable-shm=%s" % ("no" if self.profile.shared_memory else "yes"),
             "--log-target=file:" + self._path("server.log")],
            env=self._env(self._path("home")), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + SERVER_READY_SECONDS
        while subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL).returncode != 0:
            if self._process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("PulseAudio did not start; see " + self._path("server.log"))
            time.sleep(0.05)

    def stop(self):
        if self._process is not None and self._process.poll() is None:
            self._process.terminate()
            self._process.wait()

    def _env(self, home):
        env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=self._path("runtime"),
                   PULSE_SERVER="unix:" + self._path("native"), PULSE_CLIENTCONFIG=self._path("client.conf"))
        # Both would point ALSA at configuration outside the temporary home.
        env.pop("XDG_CONFIG_HOME", None)
        env.pop("ALSA_CONFIG_PATH", None)
        return env

    @property
    def env(self):
        """For the server's own tools (pactl, parec)."""
        return self._env(self._path("home"))

    def player_env(self, sink):
        """An environment whose ALSA default PCM plays into the sink: a home of its own."""
        # The plugin's own device setting does not reach the stream; libpulse's variable does.
        return dict(self._env(player_home(self._path("home-" + sink), PULSE_ASOUNDRC)), PULSE_SINK=sink)

    def record(self):
        return Recording(self.env, len(self.names), self.profile.rate, self.profile.monitor_latency_ms)


def heard_tones(recording, channel, origin, in_frames=False):
    """The tones of one channel of a stopped recording on the program's clock:
    (onset in ms after the origin, length in ms, key, cents off), the origin on time.monotonic().
    in_frames: onsets counted in the sink's frames from the origin's, for a player that keeps time
    by the sink's clock rather than the monotonic one."""
    heard = []
    origin_frame = recording.frame_at(origin)
    for tone in detect_tones(recording.samples[:, channel], recording.rate):
        key, cents = key_of(tone.frequency)
        if in_frames:
            onset = (tone.onset - origin_frame) * 1000 / recording.rate
        else:
            onset = (recording.monotonic(tone.onset) - origin) * 1000
        heard.append((onset, tone.frames * 1000 / recording.rate, key, cents))
    return heard


def write_wav(recording, path):
    """Every channel of a stopped recording mixed into one, as a 16-bit mono WAV file."""
    mix = recording.samples.astype(numpy.int32).sum(axis=1)
    loudest = int(numpy.abs(mix).max(initial=0))
    if loudest > 32767:
        mix = mix * 32767 // loudest
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(recording.rate)
        out.writeframes(mix.astype("<i2").tobytes())


NOTE_NAMES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]


def draw_piano_roll(recording, origin, notes, names, title, path):
    """A PNG of the song's notes as grey bars and, on top, each tone heard in its player's colour,
    against the time after the activate."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot
    figure, axes = pyplot.subplots(figsize=(14, 6), dpi=100)
    for note in notes:
        axes.broken_barh([(note.start / 1000, note.length / 1000)], (note.key - 0.45, 0.9),
                         facecolors="0.85", edgecolors="0.6", linewidth=0.5)
    colours = pyplot.get_cmap("tab10")
    for channel, name in enumerate(names):
        tones = heard_tones(recording, channel, origin)
        for onset, length, key, _ in tones:
            axes.broken_barh([(onset / 1000, length / 1000)], (key - 0.25, 0.5), facecolors=colours(channel % 10))
        axes.plot([], [], color=colours(channel % 10), linewidth=6, label="%s heard" % name)
    axes.plot([], [], color="0.85", linewidth=6, label="the song")
    keys = [note.key for note in notes] or [60]
    ticks = range(min(keys) - 1, max(keys) + 2)
    axes.set_yticks(list(ticks))
    axes.set_yticklabels(["%s%d" % (NOTE_NAMES[key % 12], key // 12 - 1) for key in ticks], fontsize=7)
    axes.set_ylim(min(keys) - 1.5, max(keys) + 1.5)
    axes.set_xlabel("seconds after the activate")
    axes.set_ylabel("key")
    axes.grid(axis="x", color="0.9")
    axes.set_title(title, loc="left", fontsize=10)
    axes.legend(loc="lower right", bbox_to_anchor=(1, 1), fontsize=8, ncol=min(len(names) + 1, 9), frameon=False)
    figure.tight_layout()
    figure.savefig(path)
    pyplot.close(figure)
