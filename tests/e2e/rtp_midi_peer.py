"""A scripted RTP-MIDI player, as a Mac's Network MIDI or rtpMIDI would be one: it invites the
server on its control port and then its data port (each invitation sent twice, as after a lost
answer), keeps the clocks with one exchange, and sends what the steps say. Run on a host of the
room as

    rtp_midi_peer.py SERVER_ADDRESS PORT STEP...

where each step is one of
    invite          both invitations; fails unless both are accepted
    clock           CK0 on the data port, checks the CK1, sends CK2
    on:KEY,KEY..    note-ons in one packet, running status and a delta time between them
    off:KEY,KEY..   note-offs (note-ons of velocity 0) in one packet, with a recovery journal
    lose            the next packet's sequence number skips one, as if a packet were lost
    flood:COUNT     COUNT clock requests in bursts of 50 every 25 ms, as a stranger's flood
    wait:MS         sleeps
    bye             BY on the control port

The first line printed is "peer TOKEN SSRC" (hex), then a flood's "flood SECONDS" it took, then
every datagram the server sent to either port as a line "control HEX" or "data HEX"; the status
is 1 if a step found an answer it did not expect.
"""
import os
import random
import select
import socket
import struct
import sys
import time

# RTP version 2, payload type 97: what every AppleMIDI peer sends.
RTP_FIRST_OCTETS = b"\x80\x61"
COMMAND_MARK = b"\xff\xff"
NAME = b"peer\x00"
ANSWER_WAIT = 2.0


def exchange(command, token, ssrc, name=b""):
    """IN, OK, NO or BY: the command, version 2, the initiator's token, the sender's SSRC."""
    return COMMAND_MARK + command + struct.pack("!III", 2, token, ssrc) + name


def clock(ssrc, count, stamps):
    return COMMAND_MARK + b"CK" + struct.pack("!IB3xQQQ", ssrc, count, *stamps)


def command_section(commands, journal=False):
    """The command section's header (a short one: B clear, LEN in 4 bits; J when a journal follows;
    Z: the first command has a delta time) and the commands."""
    assert len(commands) <= 15
    return bytes([(0x40 if journal else 0) | 0x20 | len(commands)]) + commands


def recovery_journal(checkpoint, key):
    """A journal as a peer keeps one: its header (A: channel journals follow, one of them) and the
    checkpoint, then channel 1's journal with chapter N logging the key as pressed."""
    channel_journal = bytes([0x00, 7, 0x08]) + bytes([0x01, 0xF0]) + bytes([key, 0x80 | 100])
    return bytes([0x20]) + struct.pack("!H", checkpoint) + channel_journal


class Peer:
    def __init__(self, server, port):
        self.server = server
        self.port = port
        self.control = self._socket()
        self.data = self._socket()
        self.ssrc = random.getrandbits(32)
        self.token = random.getrandbits(32)
        self.sequence = random.getrandbits(16)
        self.started = time.monotonic()
        self.received = []  # (port's name, bytes), in order
        self.failures = []
        self.flood_seconds = None

    @staticmethod
    def _socket():
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("", 0))
        return sock

    def _send(self, sock, payload):
        sock.sendto(payload, (self.server, self.port + (1 if sock is self.data else 0)))

    def _answer(self, sock):
        """The next datagram on the socket, or None after a wait."""
        readable, _, _ = select.select([sock], [], [], ANSWER_WAIT)
        if not readable:
            return None
        payload = sock.recv(2048)
        self.received.append(("control" if sock is self.control else "data", payload))
        return payload

    def _expect(self, what, got, wanted):
        if got != wanted:
            self.failures.append("%s: got %r, wanted %r" % (what, got, wanted))

    def _stamp(self):
        """Our clock in the exchange's units of 100 us."""
        return int((time.monotonic() - self.started) * 10000) + 1

    def invite(self):
        for sock in (self.control, self.data):
            for _ in range(2):
                self._send(sock, exchange(b"IN", self.token, self.ssrc, NAME))
                answer = self._answer(sock)
                self._expect("answer to IN", answer and answer[:12], COMMAND_MARK + b"OK" + struct.pack("!II", 2,
                                                                                                     self.token))

    def clock(self):
        ours = self._stamp()
        self._send(self.data, clock(self.ssrc, 0, (ours, 0, 0)))
        answer = self._answer(self.data)
        if answer is None or len(answer) != 36:
            self.failures.append("CK1: got %r" % (answer,))
            return
        _, count, first, theirs, third = struct.unpack("!IB3xQQQ", answer[4:])
        self._expect("CK1 count and stamps", (count, first, third), (1, ours, 0))
        self._send(self.data, clock(self.ssrc, 2, (ours, theirs, self._stamp())))

    def _packet(self, section, journal=b""):
        self.sequence = (self.sequence + 1) & 0xFFFF
        timestamp = self._stamp() & 0xFFFFFFFF
        header = RTP_FIRST_OCTETS + struct.pack("!HII", self.sequence, timestamp, self.ssrc)
        self._send(self.data, header + section + journal)

    def notes(self, keys, velocity):
        # Status, then running status with a delta time of 0 and of 200 (two octets) between keys.
        commands = bytes([0x00, 0x90, keys[0], velocity])
        for index, key in enumerate(keys[1:]):
            commands += (b"\x00" if index % 2 == 0 else b"\x81\x48") + bytes([key, velocity])
        if velocity:
            self._packet(command_section(commands))
        else:
            self._packet(command_section(commands, journal=True), recovery_journal(self.sequence, keys[0]))

    def lose(self):
        self.sequence = (self.sequence + 1) & 0xFFFF

    def flood(self, count):
        started = time.monotonic()
        for burst in range(0, count, 50):
            for _ in range(min(50, count - burst)):
                self._send(self.data, clock(self.ssrc, 0, (self._stamp(), 0, 0)))
            self.collect(0.025)
        self.flood_seconds = time.monotonic() - started

    def bye(self):
        self._send(self.control, exchange(b"BY", self.token, self.ssrc))

    def collect(self, seconds):
        """What the server sends meanwhile, for the given time."""
        deadline = time.monotonic() + seconds
        while True:
            readable, _, _ = select.select([self.control, self.data], [], [], max(0, deadline - time.monotonic()))
            if not readable:
                return
            for sock in readable:
                self.received.append(("control" if sock is self.control else "data", sock.recv(2048)))


def main(argv):
    peer = Peer(argv[1], int(argv[2]))
    for step in argv[3:]:
        name, _, value = step.partition(":")
        if name in ("on", "off"):
            peer.notes([int(key) for key in value.split(",")], 100 if name == "on" else 0)
        elif name == "wait":
            peer.collect(int(value) / 1000)
        elif name == "flood":
            peer.flood(int(value))
        else:
            getattr(peer, name)()
    peer.collect(0.3)
    print("peer %08x %08x" % (peer.token, peer.ssrc))
    if peer.flood_seconds is not None:
        print("flood %.3f" % peer.flood_seconds)
    for port, payload in peer.received:
        print(port, payload.hex())
    for failure in peer.failures:
        print(failure, file=sys.stderr)
    sys.stdout.flush()
    os._exit(1 if peer.failures else 0)


if __name__ == "__main__":
    main(sys.argv)
