"""A slow, lossy or jittery link between a client host and the server, since this kernel has no
netem: run on the front host of a host added with VirtualRoom.add_host_behind, it takes every
datagram that arrives on port 27000 over the link (the client's broadcasts among them) and passes
it on to the server, and passes the server's answers back, each way after a delay or not at all, as
seeded random generators decide. The delay is fixed, or drawn for each datagram from a profile of a
real link (PROFILES), so datagrams may overtake each other. The server sees
each client address as one relay socket of its own; the client sees the relay's end of the link,
port 27000, as its server. With a TCP port it also passes on each connection made to that port
(a browser page's to the server's web room): every chunk read is sent on after a delay of the same
profile, in order, as a stream keeps it, and none is lost.

    relay = start_relay(room, front, behind, server_address, delay_ms=600, loss=0.5, seed=1)
    relay = start_relay(room, front, behind, server_address, profile="wifi", seed=1, report=path)
    relay = start_relay(room, front, behind, server_address, profile="wired", tcp_port=27080)

It ends by itself after its lifetime, or on SIGTERM; either way it then writes to the report file,
if given, how late it sent each datagram against its due time, in ms, one a line. Python standard
library only.
"""
import argparse
import ctypes
import heapq
import os
import random
import select
import signal
import socket
import subprocess
import sys
import time

SERVER_PORT = 27000
PR_SET_TIMERSLACK = 29
RELAY_PRIORITY = 10  # of the real-time policy

# Each datagram's delay in ms, drawn from the generator of its way.
PROFILES = {
    # A switched Ethernet LAN.
    "wired": lambda draw: draw.uniform(0.05, 0.5),
    # A wireless LAN: a few milliseconds, and now and then a datagram held while the radio retries.
    "wifi": lambda draw: draw.uniform(40, 120) if draw.random() < 0.02 else max(0.5, draw.gauss(5, 3)),
}


def keep_time():
    """Wakes for each due time as soon as the machine can: without the kernel's default timer slack
    (50 us), and ahead of ordinary processes where this one may take the real-time policy, since the
    relay stands for a wire, which a busy PC does not slow down."""
    ctypes.CDLL(None).prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0)
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(RELAY_PRIORITY))
    except PermissionError:
        pass


def relay(device, server, delay_of, loss, seed, lifetime, report=None, tcp_port=None):
    losses = random.Random(seed)
    # A generator of delays for each way: a way's datagrams meet the same delays whatever the other carries.
    toward_server, toward_client = (random.Random("%d %s" % (seed, way)) for way in ("up", "down"))
    link = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    # Only what comes over the link: the room's own broadcasts reach this host too.
    link.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, device.encode())
    link.bind(("", SERVER_PORT))
    listener = None
    if tcp_port:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, device.encode())
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("", tcp_port))
        listener.listen()
    listening = [link, *([listener] if listener else [])]
    print("relaying", flush=True)
    upstream_of = {}     # client address -> the relay's socket that speaks for it
    client_of = {}       # that socket -> the client address
    peer_of = {}         # each end of a relayed connection -> the other end
    from_client = set()  # the ends on the link's side
    reading, ended = set(), set()  # the ends still read, and those that have read their far side's close
    stream_due = {}      # an end -> the due time of the last chunk for it: a chunk never overtakes one
    due = []             # (time, order, socket, payload, destination); destination None: a stream's chunk
    late = []            # ms each datagram left after its due time
    order = 0
    end = time.monotonic() + lifetime
    try:
        while time.monotonic() < end:
            now = time.monotonic()
            while due and due[0][0] <= now:
                when, _, sender, payload, destination = heapq.heappop(due)
                if destination is not None:
                    sender.sendto(payload, destination)
                elif sender in peer_of:
                    _pass_on(sender, payload, peer_of, reading, ended)
                late.append((time.monotonic() - when) * 1000)
            wake = min(end, due[0][0]) if due else end
            readable, _, _ = select.select([*listening, *client_of, *reading], [], [],
                                           max(0.0, wake - time.monotonic()))
            for sock in readable:
                if sock is listener:
                    accepted, _ = listener.accept()
                    upstream = socket.create_connection((server[0], tcp_port))
                    for each in (accepted, upstream):
                        # A chunk goes on at once: the relay's own delays are the link's.
                        each.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    peer_of.update({accepted: upstream, upstream: accepted})
                    from_client.add(accepted)
                    reading.update((accepted, upstream))
                    continue
                if sock in peer_of:
                    try:
                        chunk = sock.recv(65536)
                    except OSError:
                        chunk = b""  # a reset ends the stream as a close does
                    if not chunk:
                        reading.discard(sock)
                        ended.add(sock)
                    other = peer_of[sock]
                    draw = toward_server if sock in from_client else toward_client
                    stream_due[other] = max(time.monotonic() + delay_of(draw) / 1000, stream_due.get(other, 0.0))
                    order += 1
                    heapq.heappush(due, (stream_due[other], order, other, chunk, None))
                    continue
                payload, source = sock.recvfrom(2048)
                arrived = time.monotonic()
                if sock is link:
                    if source not in upstream_of:
                        upstream = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                        upstream.bind(("", 0))
                        upstream_of[source], client_of[upstream] = upstream, source
                    sender, destination, draw = upstream_of[source], server, toward_server
                else:
                    sender, destination, draw = link, client_of[sock], toward_client
                if losses.random() >= loss:
                    order += 1
                    heapq.heappush(due, (arrived + delay_of(draw) / 1000, order, sender, payload, destination))
    finally:
        if report:
            with open(report, "w") as out:
                out.write("".join("%.3f\n" % ms for ms in late))


def _pass_on(sender, chunk, peer_of, reading, ended):
    """Sends a stream's chunk on through its end, or the close it stands for (an empty chunk); once
    both ends have passed on a close, the connection is forgotten."""
    try:
        if chunk:
            sender.sendall(chunk)
            return
        sender.shutdown(socket.SHUT_WR)
    except OSError:
        pass
    if sender in ended:
        for each in (sender, peer_of[sender]):
            peer_of.pop(each, None)
            reading.discard(each)
            each.close()


def start_relay(room, front, behind, server_address, delay_ms=0, loss=0.0, seed=1, lifetime=60, profile=None,
                report=None, tcp_port=None):
    """Starts the relay on the front host for the host behind it and returns the process once the
    relay listens, so that no datagram is lost but those its generators drop. A profile's delays
    replace delay_ms."""
    extra = ((["--profile", profile] if profile else []) + (["--report", report] if report else [])
             + (["--tcp-port", str(tcp_port)] if tcp_port else []))
    process = room.start(front, [sys.executable, os.path.abspath(__file__), room.front_end(behind),
                                 server_address, str(delay_ms), str(loss), str(seed), str(lifetime), *extra],
                         stdout=subprocess.PIPE, text=True)
    with process.stdout:
        process.stdout.readline()
    return process


if __name__ == "__main__":
    arguments = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    arguments.add_argument("device")
    arguments.add_argument("server")
    arguments.add_argument("delay_ms", type=float)
    arguments.add_argument("loss", type=float)
    arguments.add_argument("seed", type=int)
    arguments.add_argument("lifetime", type=float)
    arguments.add_argument("--profile", choices=sorted(PROFILES))
    arguments.add_argument("--report", help="the file to write how late each datagram left, in ms")
    arguments.add_argument("--tcp-port", type=int, help="a TCP port whose connections are passed on too")
    given = arguments.parse_args()
    # A stop ends the loop the way its lifetime does, report and all.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    keep_time()
    relay(given.device, (given.server, SERVER_PORT),
          PROFILES[given.profile] if given.profile else lambda _: given.delay_ms, given.loss, given.seed,
          given.lifetime, given.report, given.tcp_port)
