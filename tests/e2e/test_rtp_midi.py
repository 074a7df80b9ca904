"""Live players over RTP-MIDI in a virtual room: a live server, a client of live playing and an
older one, and scripted RTP-MIDI peers (rtp_midi_peer.py) on hosts of their own. The session
exchange answers to the byte; two sessions play at once; each note reaches a client as slices,
which stop at the note-off, at a lost packet and at the session's good-bye; a stranger's flood
is held to its budget; the server's end says good-bye on both ports of a session still joined. Where
Avahi runs the session is announced by name, and withdrawn at the end."""
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
import unittest

import e2e_support as e2e
import fake_peers as peers
import server_support as server

from virtual_room import VirtualRoom  # tools/, on the path once e2e_support is imported

PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rtp_midi_peer.py")
SERVER, FIRST, SECOND, FLOODER, LIVE_CLIENT, OLD_CLIENT = range(6)
CONTROL_PORT = 5004
MSG_NOTE_OFF = 11
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
        with VirtualRoom(6) as room, room.capture() as capture:
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

                server_address = VirtualRoom.address(SERVER)
                flooder = start(FLOODER, [sys.executable, PEER, server_address, str(CONTROL_PORT), "invite",
                                          "flood:1000", "wait:9000"])
                first = start(FIRST, [sys.executable, PEER, server_address, str(CONTROL_PORT), "invite", "clock",
                                      "on:60", "wait:800", "off:60", "wait:1200", "bye"])
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
        """Each key's slices reach a client in its version's kind, and end where the note does."""
        to_server = capture.datagrams(SERVER)
        first = [d.time for d in to_server if is_rtp(d, FIRST)]
        second = [d.time for d in to_server if is_rtp(d, SECOND)]
        second_bye = [d.time for d in to_server if d.source[0] == VirtualRoom.address(SECOND)
                      and d.payload[:4] == b"\xff\xffBY"]
        self.assertEqual((len(first), len(second), len(second_bye)), (2, 2, 1))
        ends = {60: first[1], 64: second[1], 72: second_bye[0]}  # the note-off, the lost packet, BY
        for host, kind in ((LIVE_CLIENT, peers.MSG_TIMED_NOTE), (OLD_CLIENT, peers.MSG_NOTE)):
            replies = [(d.time, peers.reply_of(d.payload)) for d in capture.datagrams(host)
                       if d.source == (VirtualRoom.address(SERVER), peers.SERVER_PORT)]
            self.assertFalse([r for _, r in replies if r[0] in (peers.MSG_NOTE, peers.MSG_TIMED_NOTE) and r[0] != kind])
            for key, end in ends.items():
                before = [t for t, r in replies if r[:2] == (kind, key) and t < end]
                after = [t for t, r in replies if r[:2] == (kind, key) and t >= end]
                # One slice may have been on its way as the note ended; a note held on sends five a second.
                self.assertLessEqual(len(after), 1, (host, key, end, replies))
                if host == LIVE_CLIENT and key == 60 and before:
                    self.assertTrue([t for t, r in replies if r[:2] == (MSG_NOTE_OFF, key) and t >= end], replies)
        for key in ends:
            self.assertTrue([d for host in (LIVE_CLIENT, OLD_CLIENT) for d in capture.datagrams(host)
                             if peers.reply_of(d.payload)[:2] in ((peers.MSG_TIMED_NOTE, key), (peers.MSG_NOTE, key))],
                            key)

    @staticmethod
    def _wait_for_id(capture, host, expected_id):
        return e2e.wait_until(lambda: any(d.payload[:6] == peers.reply(peers.MSG_ASSIGN_ID, expected_id)
                                          for d in capture.datagrams(host)), timeout=10)


if __name__ == "__main__":
    e2e.main()
