"""Shared pieces of the end-to-end tests: the binary under test and running it. The datagrams and
fake peers are in fake_peers.py; tools/ (the virtual room, the tempo map) is on the import path.

Every e2e test runs inside the private network namespace made by netns_run.sh; importing this
module refuses to go on anywhere else, so no datagram of a test can reach a real network.
"""
import argparse
import os
import shlex
import subprocess
import sys
import time
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tools"))
from virtual_room import inside_private_network  # noqa: E402

BANNER = "tonecast 1.0 - MIDI songs played as single tones across networked PCs\n"

if not inside_private_network():
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
SERVER_COMMAND = shlex.split(_options.tonecast_server) if _options.tonecast_server else [TONECAST]
CLIENT_COMMAND = shlex.split(_options.tonecast_client) if _options.tonecast_client else [TONECAST]
SONGS = _options.songs
with open(TONECAST, "rb") as _binary:
    # Valgrind cannot run a binary built with the address sanitizer, which checks leaks itself.
    SANITIZER_BUILD = b"__asan_init" in _binary.read()
# Memcheck as the leak tests run it: any error or lost block ends the run with status 99.
VALGRIND = ["valgrind", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite,indirect"]


def wait_until(condition, timeout=15):
    """Polls the condition every 50 ms until it holds (True) or the timeout passes (False)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


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
