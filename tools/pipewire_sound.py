"""The virtual room's listener on PipeWire, the sound server of a Debian 12 desktop: a drop-in for
room_sound.SoundServer. A private PipeWire with WirePlumber and pipewire-pulse, headless and
without a sound card, whose one null sink, "room", has a channel per player at PipeWire's own
48 kHz; each player reaches its own channel through ALSA, and the sink's monitor is recorded
and placed on the monotonic clock.

    with PipeWireServer(folder, ["c0", "c1"]) as sound:
        env = sound.player_env("c0")      # for a tonecast -c that plays into channel c0
        with sound.record() as recording: ...

Players reach PipeWire through ALSA in one of two ways, as desktops do: alsa="pulse" (ALSA's pulse
plugin to pipewire-pulse, libasound2-plugins) or alsa="pipewire" (pipewire-alsa's own plugin; that
package conflicts with Debian's pulseaudio, so its library may be given from an unpacked copy).
The graph's quantum is PipeWire's own choice by default, as on a desktop: 1024 frames (21.3 ms)
until a stream asks for less; tonecast's 1 ms period brings it to 256 (5.3 ms) through either
plugin. Each change of quantum costs the streams that play through it some 37 ms of their sound
and shifts the sink's frames against the clock by some 75 ms, so a measurement wants
quantum=N: the graph held at N frames whoever comes and goes.

Needs Debian's pipewire, pipewire-pulse, wireplumber, pulseaudio-utils (pactl, parec) and
libasound2-plugins or pipewire-alsa's plugin.
"""
import os
import subprocess
import time

import room_sound

RATE = 48000       # PipeWire's default clock rate, and tonecast's
SERVER_READY_SECONDS = 10
# The monitor's reader asks for 64 ms blocks, 3072 frames: a whole number of quanta of every
# size from 1024 frames down, so that each block is sent the cycle that completes it, and more
# than any quantum, so that the reader never shortens the graph's quantum for the players.
MONITOR_LATENCY_MS = 64
SYSTEM_ALSA_PLUGIN = "/usr/lib/x86_64-linux-gnu/alsa-lib/libasound_module_pcm_pipewire.so"
# WirePlumber's defaults less every monitor of real devices (sound cards, cameras, Bluetooth) and
# the Flatpak portal: the room has none, and they would reach for the machine's devices and D-Bus.
WIREPLUMBER_MAIN = """load_module("metadata")
default_access.properties["enable-flatpak-portal"] = false
default_access.enable()
device_defaults.enable()
stream_defaults.enable()
load_script("intended-roles.lua")
load_script("suspend-node.lua")
"""


class PipeWireServer(room_sound.Running):
    """A private PipeWire with one null sink, "room", of one channel per name; each name is also a
    sink of its own that plays into its channel of the room only."""

    def __init__(self, folder, names, groups=(), alsa="pulse", alsa_plugin=SYSTEM_ALSA_PLUGIN, quantum=None):
        """groups: (name, [channel names]) sinks whose channels go to those channels of the room.
        alsa: "pulse" or "pipewire", the ALSA plugin players play through; alsa_plugin: pipewire-alsa's
        PCM library, for "pipewire"; quantum: the graph's frames a cycle, or None for PipeWire's own."""
        if alsa not in ("pulse", "pipewire"):
            raise ValueError("alsa is pulse or pipewire")
        self._folder = folder
        self.names = list(names)
        self._groups = list(groups)
        self._alsa = alsa
        self._alsa_plugin = alsa_plugin
        self._quantum = quantum
        self._processes = []
        self._logs = []

    def _path(self, *parts):
        return os.path.join(self._folder, *parts)

    def start(self):
        if self._alsa == "pipewire" and not os.path.exists(self._alsa_plugin):
            raise RuntimeError("no PipeWire ALSA plugin at %s (Debian's pipewire-alsa)" % self._alsa_plugin)
        for part in ("home", "runtime"):
            os.makedirs(self._path(part), mode=0o700, exist_ok=True)
        # Files of these names in the home take the place of the system's.
        for folder in ("main.lua.d", "bluetooth.lua.d"):
            os.makedirs(self._path("home", ".config", "wireplumber", folder), exist_ok=True)
        with open(self._path("home", ".config", "wireplumber", "main.lua.d", "90-enable-all.lua"), "w") as script:
            script.write(WIREPLUMBER_MAIN)
        with open(self._path("home", ".config", "wireplumber", "bluetooth.lua.d", "90-enable-all.lua"), "w"):
            pass
        with open(self._path("client.conf"), "w") as conf:
            conf.write("autospawn = no\n")
        try:
            for program in ("pipewire", "wireplumber", "pipewire-pulse"):
                self._logs.append(open(self._path(program + ".log"), "w"))
                self._processes.append(subprocess.Popen([program], env=self.env, stdout=self._logs[-1],
                                                        stderr=subprocess.STDOUT))
                if program == "pipewire":
                    self._wait(lambda: os.path.exists(self._path("runtime", "pipewire-0")), program)
            self._wait(lambda: subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL).returncode == 0, "pipewire-pulse")
            if self._quantum is not None:
                subprocess.run(["pw-metadata", "-n", "settings", "0", "clock.force-quantum", str(self._quantum)],
                               env=self.env, check=True, stdout=subprocess.DEVNULL)
            self._load_sinks()
        except BaseException:
            self.stop()
            raise

    def _wait(self, ready, program):
        deadline = time.monotonic() + SERVER_READY_SECONDS
        while not ready():
            if any(process.poll() is not None for process in self._processes) or time.monotonic() > deadline:
                raise RuntimeError("%s did not start; see %s" % (program, self._path(program + ".log")))
            time.sleep(0.05)

    def _load_sinks(self):
        for module in room_sound.sink_modules(self.names, self._groups, RATE):
            subprocess.run(["pactl", "load-module", *module], env=self.env, check=True, stdout=subprocess.DEVNULL)

    def stop(self):
        for process in reversed(self._processes):
            if process.poll() is None:
                process.terminate()
            process.wait()
        for log in self._logs:
            log.close()
        self._processes, self._logs = [], []

    def _env(self, home):
        env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=self._path("runtime"),
                   PULSE_SERVER="unix:" + self._path("runtime", "pulse", "native"),
                   PULSE_CLIENTCONFIG=self._path("client.conf"),
                   # No bus at all: nothing here may reach the machine's session or system bus.
                   DBUS_SESSION_BUS_ADDRESS="unix:path=" + self._path("no-bus"),
                   DBUS_SYSTEM_BUS_ADDRESS="unix:path=" + self._path("no-bus"))
        # Each would point PipeWire or ALSA at configuration outside the temporary home.
        for name in ("XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "ALSA_CONFIG_PATH", "PIPEWIRE_CONFIG_DIR",
                     "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "DISPLAY"):
            env.pop(name, None)
        return env

    @property
    def env(self):
        """For the server's own processes and tools (pactl, parec)."""
        return self._env(self._path("home"))

    def player_env(self, sink):
        """An environment whose ALSA default PCM plays into the sink: a home of its own."""
        asoundrc = room_sound.PULSE_ASOUNDRC if self._alsa == "pulse" else (
            'pcm_type.pipewire { lib "%s" }\npcm.!default { type pipewire playback_node "%s" }\n'
            % (self._alsa_plugin, sink))
        # The pulse plugin's own device setting does not reach the stream; libpulse's variable does,
        # and it also leads a program that plays through libpulse itself (a browser) to the sink.
        return dict(self._env(room_sound.player_home(self._path("home-" + sink), asoundrc)), PULSE_SINK=sink)

    def record(self):
        return room_sound.Recording(self.env, len(self.names), RATE, MONITOR_LATENCY_MS)
