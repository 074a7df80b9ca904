"""Live players over RTP-MIDI in a virtual room: a live server, a client of live playing, one that
keeps the clock (version 2) and an older one, and scripted RTP-MIDI peers (rtp_midi_peer.py) on
hosts of their own. The session exchange answers to the byte; two sessions play at once, a chord
taking a voice per key; each note reaches a client as slices of its version's kind (timed ones
joined a live lead ahead, on arrival one after another for the oldest), which stop at the note-off,
at a lost packet and at the session's good-bye, of which only live playing's version is told; a
stranger's flood is held to its budget; the server's end says good-bye on both ports of a session
still joined. Where Avahi runs the session is announced by name, and withdrawn at the end. A room
with no player says how to add one; bad values are refused."""
import contextlib
import math
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server

from virtual_room import VirtualRoom  # tools/, on the path once e2e_support is imported

PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rtp_midi_peer.py")
SERVER, FIRST, SECOND, FLOODER, LIVE_CLIENT, OLD_CLIENT, TIMED_CLIENT = range(7)
CONTROL_PORT = 5004
MSG_NOTE_OFF = 11
MSG_LIVE_SLICE = 12  # laid out as a timed note
SLICE_MS = 200
SLICE_US = SLICE_MS * 1000
# The live lead, and the capture's clock moved from real time to the monotonic one.
AHEAD_AT_MOST_US = 20000 + 1000
BUDGET_PER_SECOND = 200
OUR_NAME = b"tonecast\x00"


def browse():
    return subprocess.run(["avahi-browse", "-rpt", "_apple-midi._udp"], capture_output=True, text=True).stdout


@contextlib.contextmanager
def private_avahi(folder):
    """An Avahi daemon of this network namespace alone, on a D-Bus system bus of its own."""
    bus, bus_conf, avahi_conf = (os.path.join(folder, name) for name in ("bus", "bus.conf", "avahi.conf"))
    with open(bus_conf, "w") as conf:
        conf.write('<busconfig><type>system</type><listen>unix:path=%s</listen><auth>EXTERNAL</auth>'
                   '<policy context="default"><allow send_destination="*"/><allow receive_sender="*"/>'
                   '<allow own="*"/><allow user="*"/></policy></busconfig>' % bus)
    with open(avahi_conf, "w") as conf:
        conf.write("[server]\nuse-ipv6=no\nallow-interfaces=tcveth0\n"
                   "[publish]\npublish-workstation=no\npublish-aaaa-on-ipv4=no\n")
    runtime = "/run/avahi-daemon"  # Avahi's pid file and socket, kept out of the machine's
    made = not os.path.isdir(runtime)
    if made:
        try:
            os.mkdir(runtime)
        except PermissionError:
            raise unittest.SkipTest("cannot make %s" % runtime)
    subprocess.run(["mount", "-t", "tmpfs", "tonecast-avahi", runtime], check=True)
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + bus
    daemons = [subprocess.Popen(["dbus-daemon", "--nofork", "--config-file", bus_conf],
                                stderr=subprocess.DEVNULL)]
    try:
        e2e.wait_until(lambda: os.path.exists(bus))
        daemons.append(subprocess.Popen(["avahi-daemon", "--no-drop-root", "--no-chroot", "--no-rlimits", "-f",
                                         avahi_conf], stderr=subprocess.DEVNULL))
        e2e.wait_until(lambda: subprocess.run(["avahi-daemon", "-c"]).returncode == 0)
        yield
    finally:
        for daemon in reversed(daemons):
            daemon.terminate()
            daemon.wait()
        del os.environ["DBUS_SYSTEM_BUS_ADDRESS"]
        subprocess.run(["umount", runtime], check=True)
        if made:
            os.rmdir(runtime)


def is_rtp(datagram, host):
    return (datagram.source[0] == VirtualRoom.address(host) and datagram.destination[1] == CONTROL_PORT + 1
            and datagram.payload[:1] == b"\x80")


def ahead(arrival, payload):
    """How far ahead of its arrival a timed message's moment lies, in microseconds."""
    return (struct.unpack("<I", payload[6:10])[0] - int(arrival * 1e6)) % 2 ** 32


def peer_output(text):
    """The peer's token and SSRC, a flood's seconds, and [(port, bytes)] it received."""
    lines = text.splitlines()
    _, token, ssrc = lines[0].split()
    flood = float(lines[1].split()[1]) if lines[1].startswith("flood") else None
    received = [(port, bytes.fromhex(payload)) for port, payload in (line.split() for line in lines[1:])
                if port in ("control", "data")]
    return int(token, 16), int(ssrc, 16), flood, received


class RtpMidi(unittest.TestCase):
    def test_two_sessions_play_to_the_room_and_their_notes_end(self):
        with VirtualRoom(7) as room, room.capture() as capture:
            started = []

            def start(host, argv):
                watched = server.Watched(room.start(host, argv, stdout=-1, stderr=-1, text=True))
                started.append(watched)
                return watched

            try:
                performer = start(SERVER, [e2e.TONECAST, "--live", "--rtp-midi"])
                self.assertTrue(e2e.wait_until(lambda: "127.0.0.1:5004\n" in performer.err), performer.err)
                start(LIVE_CLIENT, [e2e.TONECAST, "-c"])
                self.assertTrue(self._wait_for_id(capture, LIVE_CLIENT, 0))
                start(OLD_CLIENT, [e2e.TONECAST, "-c", "--protocol", "1"])
                self.assertTrue(self._wait_for_id(capture, OLD_CLIENT, 1))
                start(TIMED_CLIENT, [e2e.TONECAST, "-c", "--protocol", "2"])
                self.assertTrue(self._wait_for_id(capture, TIMED_CLIENT, 2))

                server_address = VirtualRoom.address(SERVER)
                flooder = start(FLOODER, [sys.executable, PEER, server_address, str(CONTROL_PORT), "invite",
                                          "flood:1000", "wait:9000"])
                first = start(FIRST, [sys.executable, PEER, server_address, str(CONTROL_PORT), "invite", "clock",
                                      "on:60,67", "wait:800", "off:60,67", "wait:1200", "bye"])
                second = start(SECOND, [sys.executable, PEER, server_address, str(CONTROL_PORT), "invite", "clock",
                                        "wait:200", "on:64", "wait:800", "lose", "on:72", "wait:800", "bye",
                                        "wait:1000"])
                outputs = [peer.finish(timeout=30) for peer in (first, second)]
                performer.process.send_signal(signal.SIGINT)
                outputs.append(flooder.finish(timeout=30))
                self.assertEqual(performer.finish(timeout=10)[0], 0)
            finally:
                for watched in started:
                    watched.kill()

        for status, out, err in outputs:
            self.assertEqual(status, 0, err)
        self.assertEqual(performer.out, e2e.BANNER + "Running as server, live\nSV: Binded to port 27000\nQuit.\n")
        joins = [line for line in performer.err.splitlines() if line.startswith("Live players join")]
        self.assertEqual(joins, ["Live players join by RTP-MIDI at %s:5004" % address
                                 for address in (VirtualRoom.address(SERVER), "127.0.0.1")])
        self.assertIn("tonecast: no Avahi here: add this server by its address and port 5004\n", performer.err)
        ssrcs = {self._check_exchange(*peer_output(out)) for _, out, _ in outputs}
        self.assertEqual(len(ssrcs), 1)  # one SSRC of ours in every session
        _, _, seconds, received = peer_output(outputs[2][1])
        self._check_flood(seconds, received)
        self._check_slices(capture)

    def test_a_port_taken_is_told_and_the_server_goes_on(self):
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        holder.bind(("", 6001))
        performer = server.watch("--live", "--rtp-midi", "6000")
        try:
            self.assertTrue(e2e.wait_until(lambda: "6001" in performer.err), performer.err)
            performer.process.send_signal(signal.SIGINT)
            _, _, err = performer.finish()
        finally:
            performer.kill()
            holder.close()
        self.assertEqual(err, "tonecast: RTP-MIDI cannot listen on port 6001: Address already in use\n")

    def test_a_room_with_no_player_says_how_to_add_one_and_bad_values_are_refused(self):
        performer = server.watch("--live")
        try:
            self.assertTrue(performer.wait_for("SV: Binded to port 27000\n"))
            client = peers.FakeClient()
            client.send(peers.ACTIVATE)  # no song to start
            client.close()
            time.sleep(0.3)
            performer.process.send_signal(signal.SIGINT)
            status, out, _ = performer.finish()
        finally:
            performer.kill()
        self.assertEqual((status, out), (0, e2e.BANNER + "Running as server, live\nNo live player can join: add --web "
                                         "for the conductor's page or --rtp-midi for RTP-MIDI.\n"
                                         "SV: Binded to port 27000\nQuit.\n"))
        for option, value, form in (("--live-lead", "1001", "a number of milliseconds from 0 to 1000, such as 20"),
                                    ("--rtp-midi", "65535", "a port from 1 to 65534, such as 5004, or nothing for 5004")):
            self.assertEqual(e2e.run("--live", option, value)[::2], (2, "tonecast: %s takes %s\n" % (option, form)))

    def test_the_session_is_announced_where_avahi_runs_and_withdrawn_at_the_end(self):
        if not (shutil.which("avahi-daemon") and shutil.which("dbus-daemon") and shutil.which("avahi-browse")):
            self.skipTest("needs avahi-daemon, avahi-utils and dbus-daemon")
        with tempfile.TemporaryDirectory() as folder, private_avahi(folder):
            performer = server.watch("--live", "--rtp-midi", "6000")
            try:
                self.assertTrue(e2e.wait_until(lambda: ";6000;" in browse(), timeout=10), performer.err)
                seen = browse()
                performer.process.send_signal(signal.SIGINT)
                status, _, err = performer.finish()
            finally:
                performer.kill()
            self.assertTrue(e2e.wait_until(lambda: "=;" not in browse(), timeout=10))
        self.assertEqual(status, 0, err)
        self.assertNotIn("Avahi", err)
        # The service's name, type, address and control port, as a directory on the network lists it.
        self.assertRegex(seen, r"=;tcveth0;IPv4;tonecast\\032on\\032%s;_apple-midi\._udp;local;[^;]*;"
                               r"198\.18\.0\.1;6000;" % re.escape(socket.gethostname()))

    def _check_exchange(self, token, ssrc, _, received):
        """Our answers to the peer's invitations and clock exchange, to the byte; our SSRC."""
        ours = received[0][1][12:16]
        ok = b"\xff\xffOK" + struct.pack("!II", 2, token) + ours + OUR_NAME
        self.assertEqual(received[:4], [("control", ok)] * 2 + [("data", ok)] * 2)
        for port, payload in received[4:]:
            kind = payload[:4]
            self.assertIn(kind, (b"\xff\xffCK", b"\xff\xffRS", b"\xff\xffBY"), payload)
            self.assertEqual(payload[4:8] if kind != b"\xff\xffBY" else payload[12:16], ours)
            if kind == b"\xff\xffCK":
                self.assertEqual((port, len(payload), payload[8]), ("data", 36, 1))
            elif kind == b"\xff\xffRS":
                self.assertEqual((port, len(payload)), ("control", 12))
        byes = [(port, payload) for port, payload in received if payload[:4] == b"\xff\xffBY"]
        if byes:  # the session still joined when the server stopped
            by = b"\xff\xffBY" + struct.pack("!II", 2, token) + ours
            self.assertEqual(byes, [("control", by), ("data", by)])
        return ours

    def _check_flood(self, seconds, received):
        """The stranger's clock requests answered within the budget; its session told good-bye at the end."""
        answers = sum(1 for _, payload in received if payload[:4] == b"\xff\xffCK")
        self.assertEqual([port for port, payload in received if payload[:4] == b"\xff\xffBY"], ["control", "data"])
        self.assertGreater(answers, 0)
        self.assertLessEqual(answers, BUDGET_PER_SECOND * (math.ceil(seconds) + 1))

    def _check_slices(self, capture):
        """Each key's slices reach one client in its version's kind and end where the note does."""
        to_server = capture.datagrams(SERVER)
        first = [d.time for d in to_server if is_rtp(d, FIRST)]
        second = [d.time for d in to_server if is_rtp(d, SECOND)]
        second_bye = [d.time for d in to_server if d.source[0] == VirtualRoom.address(SECOND)
                      and d.payload[:4] == b"\xff\xffBY"]
        self.assertEqual((len(first), len(second), len(second_bye)), (2, 2, 1))
        # Pressed and ended by: the note-off, the lost packet, BY.
        held = {60: first, 67: first, 64: second, 72: (second[1], second_bye[0])}
        players = {key: [] for key in held}
        kinds = {LIVE_CLIENT: MSG_LIVE_SLICE, TIMED_CLIENT: peers.MSG_TIMED_NOTE, OLD_CLIENT: peers.MSG_NOTE}
        for host, kind in kinds.items():
            replies = [(d.time, peers.reply_of(d.payload), d.payload) for d in capture.datagrams(host)
                       if d.source == (VirtualRoom.address(SERVER), peers.SERVER_PORT)]
            self.assertFalse([r for _, r, _ in replies if r[0] in kinds.values() and r[0] != kind])
            told = [(t, r, p) for t, r, p in replies if r[0] == MSG_NOTE_OFF]
            if host != LIVE_CLIENT:
                self.assertEqual(told, [])
            for key, (pressed, ended) in held.items():
                slices = [(t, r, p) for t, r, p in replies if r[:2] == (kind, key)]
                if not slices:
                    continue
                players[key].append(host)
                before = [t for t, _, _ in slices if t < ended]
                self.assertEqual({r[2] for _, r, _ in slices}, {SLICE_MS})
                # One slice may have been on its way as the note ended; a note held on sends five a second.
                self.assertLessEqual(len(slices) - len(before), 1, (host, key, ended, replies))
                self.assertGreaterEqual(len(before), int((ended - pressed) * 1e6 / SLICE_US) - 1, (host, key))
                if kind == peers.MSG_NOTE:  # each when the last ends
                    self.assertGreater(min(b - a for a, b in zip(before, before[1:])), 0.15, before)
                    continue
                # Each where the last ends (a loop held up leaves a gap instead), the first a live lead ahead.
                moments = [struct.unpack("<I", p[6:10])[0] for _, _, p in slices]
                steps = [(b - a) % 2 ** 32 for a, b in zip(moments, moments[1:])]
                self.assertTrue(min(steps) >= SLICE_US and SLICE_US in steps, steps)
                self.assertLessEqual(ahead(slices[0][0], slices[0][2]), AHEAD_AT_MOST_US)
                if host == LIVE_CLIENT:  # told the end, a live lead after the note ended
                    ends = [(t, r, p) for t, r, p in told if r[1] == key]
                    self.assertEqual([(r[2], t >= ended) for t, r, _ in ends], [(0, True)], told)
                    self.assertLessEqual(ahead(ends[0][0], ends[0][2]), AHEAD_AT_MOST_US)
        self.assertEqual([len(hosts) for hosts in players.values()], [1] * len(held), players)
        if first[0] < second[1] and second[0] < first[1]:  # the chord and 64 held at once: a voice each
            self.assertEqual(len({players[60][0], players[67][0], players[64][0]}), 3, players)

    @staticmethod
    def _wait_for_id(capture, host, expected_id):
        return e2e.wait_until(lambda: any(d.payload[:6] == peers.reply(peers.MSG_ASSIGN_ID, expected_id)
                                          for d in capture.datagrams(host)), timeout=10)


if __name__ == "__main__":
    e2e.main()
