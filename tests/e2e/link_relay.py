"""A slow or lossy link between a client host and the server, since this kernel has no netem: run on
the front host of a host added with VirtualRoom.add_host_behind, it takes every datagram that
arrives on port 27000 over the link (the client's broadcasts among them) and passes it on to the
server, and passes the server's answers back, each way after a fixed delay or not at all, as a
seeded random generator decides. The server sees each client address as one relay socket of its
own; the client sees the relay's end of the link, port 27000, as its server.

    relay = start_relay(room, front, behind, server_address, delay_ms=600, loss=0.5, seed=1)

It ends by itself after its lifetime. Python standard library only.
"""
import argparse
import heapq
import os
import random
import select
import socket
import subprocess
import sys
import time

SERVER_PORT = 27000


def relay(device, server, delay, loss, seed, lifetime):
    rng = random.Random(seed)
    link = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    # Only what comes over the link: the room's own broadcasts reach this host too.
    link.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, device.encode())
    link.bind(("", SERVER_PORT))
    print("relaying", flush=True)
    toward_server = {}   # client address -> the relay's socket that speaks for it
    client_of = {}       # that socket -> the client address
    due = []             # (time, order, socket, payload, destination)
    order = 0
    end = time.monotonic() + lifetime
    while time.monotonic() < end:
        now = time.monotonic()
        while due and due[0][0] <= now:
            _, _, sender, payload, destination = heapq.heappop(due)
            sender.sendto(payload, destination)
        wake = min(end, due[0][0]) if due else end
        readable, _, _ = select.select([link, *client_of], [], [], max(0.0, wake - now))
        for sock in readable:
            payload, source = sock.recvfrom(2048)
            if sock is link:
                if source not in toward_server:
                    upstream = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                    upstream.bind(("", 0))
                    toward_server[source], client_of[upstream] = upstream, source
                sender, destination = toward_server[source], server
            else:
                sender, destination = link, client_of[sock]
            if rng.random() >= loss:
                order += 1
                heapq.heappush(due, (time.monotonic() + delay, order, sender, payload, destination))


def start_relay(room, front, behind, server_address, delay_ms=0, loss=0.0, seed=1, lifetime=60):
    """Starts the relay on the front host for the host behind it and returns the process once the
    relay listens, so that no datagram is lost but those its generator drops."""
    process = room.start(front, [sys.executable, os.path.abspath(__file__), room.front_end(behind),
                                 server_address, str(delay_ms), str(loss), str(seed), str(lifetime)],
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
    given = arguments.parse_args()
    relay(given.device, (given.server, SERVER_PORT), given.delay_ms / 1000.0, given.loss, given.seed,
          given.lifetime)
