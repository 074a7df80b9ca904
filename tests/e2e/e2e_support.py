"""Shared pieces of the end-to-end tests: the binary under test, running it, fake peers.

Every e2e test runs inside the private network namespace made by netns_run.sh; importing this
module refuses to go on anywhere else, so no datagram of a test can reach a real network.
"""
import argparse
import os
import socket
import struct
import subprocess
import sys
import unittest

BANNER = "tonecast 1.0 - MIDI songs played as single tones across networked PCs\n"
SERVER_PORT = 27000


def _private_interfaces_only():
    names = sorted(name for _, name in socket.if_nameindex())
    return names == ["lo", "tcveth0", "tcveth1"]


if os.environ.get("TONECAST_PRIVATE_NET") != "inside" or not _private_interfaces_only():
    sys.stderr.write("e2e tests run only inside tests/e2e/netns_run.sh\n")
    sys.exit(97)

_parser = argparse.ArgumentParser(add_help=False)
_parser.add_argument("--tonecast", required=True)
# Rooms of mixed hosts: the command that runs the server, or the clients, in place of --tonecast,
# such as a Windows build under tests/e2e/wine_run.sh. Passed on as they are.
_parser.add_argument("--tonecast-server")
_parser.add_argument("--tonecast-client")
# Only these bundled songs (a name, repeatable), where a test plays them all otherwise.
_parser.add_argument("--song", action="append", dest="songs")
_options, _rest = _parser.parse_known_args()
TONECAST = _options.tonecast
ROLE_OPTIONS = [item for option, command in (("--tonecast-server", _options.tonecast_server),
                                             ("--tonecast-client", _options.tonecast_client))
                if command for item in (option, command)]
SONGS = _options.songs
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
with open(TONECAST, "rb") as _binary:
    # Valgrind cannot run a binary built with the address sanitizer, which checks leaks itself.
    SANITIZER_BUILD = b"__asan_init" in _binary.read()
# Memcheck as the leak tests run it: any error or lost block ends the run with status 99.
VALGRIND = ["valgrind", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite,indirect"]


def main():
    unittest.main(argv=[sys.argv[0]] + _rest)


def start(*args, env=None, cwd=None):
    """Starts tonecast with the given arguments; output is read as text."""
    return subprocess.Popen([TONECAST, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env, cwd=cwd)


def run(*args, timeout=30, env=None):
    """Runs tonecast to its end and returns (status, stdout, stderr)."""
    process = start(*args, env=env)
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out, err


def udp_listener(port=0, timeout=5.0):
    """A UDP socket bound to every local address, as a fake server or client uses."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
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


MSG_ASSIGN_ID = 2
MSG_NOTE = 4
MSG_BYE = 5


def reply(kind, word1=0, word2=0):
    """A 6-byte datagram from a server to a client: three little-endian signed 16-bit words."""
    return struct.pack("<hhh", kind, word1, word2)


def start_client(server, env=None, timeout=5.0):
    """Starts tonecast -c and waits for its first connect request on the fake server's socket.

    Returns (process, the client's address)."""
    process = start("-c", env=env)
    server.settimeout(timeout)
    try:
        _, address = server.recvfrom(2048)
    except socket.timeout:
        process.kill()
        process.communicate()
        raise
    return process, address
