"""The datagrams tonecast exchanges on its port, and the fake servers and clients that speak them.
Importing it imports e2e_support, which checks for the private network first."""
import json
import socket
import struct
import time

import e2e_support as e2e

SERVER_PORT = 27000

# A client's requests: ten bytes, told apart by their first byte. A client that knows the room's
# clock marks its connect with a tag and its version, and asks for the time with 0xfd, the same
# mark and its own 4-byte stamp.
CONNECT = b"\xff" + bytes(9)
CLOCK_MARK = b"toneclk\xa7\x02"
TIMED_CONNECT = b"\xff" + CLOCK_MARK
CLOCK_REQUEST = b"\xfd" + CLOCK_MARK
ACTIVATE = b"\xfe" + bytes(9)
# A client of the concert (version 3) marks them with its version, and reports how it fares with
# 0xfc, the mark, its shortest round trip in microseconds (4 bytes) and the song's late and missed
# notes (2 bytes each).
CONCERT_MARK = CLOCK_MARK[:-1] + b"\x03"
CONCERT_CONNECT = b"\xff" + CONCERT_MARK
CONCERT_CLOCK_REQUEST = b"\xfd" + CONCERT_MARK
CLIENT_REPORT = b"\xfc" + CONCERT_MARK
# A client of live playing (version 4, the default) marks its connect and clock requests with its
# version; its report keeps the concert's mark.
LIVE_MARK = CLOCK_MARK[:-1] + b"\x04"
LIVE_CONNECT = b"\xff" + LIVE_MARK
LIVE_CLOCK_REQUEST = b"\xfd" + LIVE_MARK

# A server's replies: three little-endian signed 16-bit words, the first one its kind.
MSG_ASSIGN_ID = 2
MSG_NOTE = 4
MSG_BYE = 5
MSG_TIMED_NOTE = 6   # key, length, then the server's 32-bit microsecond it sounds at
MSG_WELCOME = 7
MSG_CLOCK_REPLY = 8  # 0, then the client's stamp and the server's microsecond
MSG_SONG_END = 9     # the songs still to come
MSG_SILENCE = 10


def good_bye(client_id):
    """A client's disconnect: its id as a little-endian word, then kind 5, then seven zero bytes."""
    return struct.pack("<h", client_id) + b"\x05" + bytes(7)


def reply(kind, word1=0, word2=0):
    return struct.pack("<hhh", kind, word1, word2)


def reply_of(data):
    """A 6-byte reply as its three signed words."""
    return struct.unpack("<hhh", data[:6])


def udp_listener(port=0, timeout=5.0):
    """A UDP socket bound to every local address, as a fake server or client uses."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    # Only a fixed port may be shared: with the option, a system-chosen port can be handed to two
    # sockets at once, and two fake clients would look like one to the server.
    if port:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    sock.bind(("", port))
    sock.settimeout(timeout)
    return sock


def receive_all(sock, quiet_seconds=0.5):
    """Every datagram that arrives until the socket has been quiet for a while: [(bytes, address)]."""
    sock.settimeout(quiet_seconds)
    received = []
    while True:
        try:
            received.append(sock.recvfrom(2048))
        except socket.timeout:
            return received


def start_client(server, *options, env=None, timeout=5.0):
    """Starts tonecast -c with the options and waits for its first connect request on the fake
    server's socket.

    Returns (process, the client's address)."""
    process = e2e.start("-c", *options, env=env)
    server.settimeout(timeout)
    try:
        _, address = server.recvfrom(2048)
    except socket.timeout:
        process.kill()
        process.communicate()
        raise
    return process, address


class FakeClient:
    """A client made of one UDP socket on this host that talks to the server at 127.0.0.1."""

    def __init__(self):
        self.socket = udp_listener(0)

    def send(self, data):
        self.socket.sendto(data, ("127.0.0.1", SERVER_PORT))

    def connect(self, timeout=5):
        """Sends a connect request and returns the id the server assigns."""
        self.send(CONNECT)
        self.socket.settimeout(timeout)
        kind, client_id, _ = reply_of(self.socket.recv(2048))
        if kind != MSG_ASSIGN_ID:
            raise AssertionError("expected an id, got %r" % ((kind, client_id),))
        return client_id

    def disconnect(self, client_id):
        self.send(good_bye(client_id))

    def receive(self, quiet_seconds=0.5):
        """Replies that arrive until the socket is quiet, as (kind, word 1, word 2)."""
        return [reply_of(data) for data, _ in receive_all(self.socket, quiet_seconds)]

    def receive_until_bye(self, timeout=30):
        """Replies up to and including the server's good-bye."""
        replies = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.socket.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                replies.append(reply_of(self.socket.recv(2048)))
            except socket.timeout:
                break
            if replies[-1][0] == MSG_BYE:
                break
        return replies

    def close(self):
        self.socket.close()


def activate():
    """One activate datagram to the server, as "tonecast -a" would send."""
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.sendto(ACTIVATE, ("127.0.0.1", SERVER_PORT))
    sender.close()


class FakePage:
    """A browser page on the server's web port, as far as the room sees one: a WebSocket that
    sends text and gets one JSON object per message (small messages only, as the room's are).
    Pings are counted, not returned; origin, when given, is sent as a browser's Origin header."""

    def __init__(self, host="127.0.0.1", port=27080, timeout=5.0, origin=None, path="/room"):
        self.pings = 0
        self.socket = socket.create_connection((host, port), timeout=timeout)
        self.socket.sendall(("GET %s HTTP/1.1\r\nHost: %s:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Key: dG9uZWNhc3QgdGVzdCBrZXk=\r\nSec-WebSocket-Version: 13\r\n%s\r\n"
                             % (path, host, port, "Origin: %s\r\n" % origin if origin else "")).encode())
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            head += self.socket.recv(1)
        self.head = head.decode()
        if not head.startswith(b"HTTP/1.1 101 "):
            self.socket.close()
            raise ConnectionRefusedError(self.head)

    def send(self, text):
        data, mask = text.encode(), b"mask"  # a client masks what it sends
        self.socket.sendall(bytes([0x81, 0x80 | len(data)]) + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def _exactly(self, count):
        data = b""
        while len(data) < count:
            more = self.socket.recv(count - len(data))
            if not more:
                raise EOFError("the room closed the page's socket")
            data += more
        return data

    def receive(self):
        """The next message but a ping, as a dict; None once the room has closed the socket."""
        while True:
            try:
                opcode, length = struct.unpack("BB", self._exactly(2))
                if length == 126:
                    length = struct.unpack(">H", self._exactly(2))[0]
                data = self._exactly(length)
            except (EOFError, ConnectionResetError):
                return None
            message = json.loads(data) if opcode & 0x0F == 1 else None
            if not (message and "ping" in message):
                return message
            self.pings += 1

    def close(self):
        self.socket.close()
