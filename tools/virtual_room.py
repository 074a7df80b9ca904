"""A virtual room of PCs inside the private network: one network namespace per host, all joined
by one bridge, so that several instances of tonecast can meet as separate machines.

Each host has its own address (198.18.1.10 + index, /24) and a default route on its link, so a
broadcast to 255.255.255.255 reaches every host of the room. Runs only inside the private network
of tests/e2e/netns_run.sh, and refuses to run anywhere else:

    with VirtualRoom(3) as room:
        server = room.start(0, ["tonecast", "-s", "song.mid"])
        room.run(1, ["tonecast", "-a"])

Python standard library only.
"""
import os
import socket
import struct
import subprocess
import threading
import time

ADDRESS_PREFIX = "198.18.1."
FIRST_HOST_ADDRESS = 10
BRIDGE = "tcroom"
MAX_HOSTS = 200


class NotPrivateNetwork(RuntimeError):
    pass


def inside_private_network():
    """True only inside tests/e2e/netns_run.sh: it marks the environment, and its namespace holds
    nothing but lo and the veth pair it made. The tests and the room check this before they send."""
    names = sorted(name for _, name in socket.if_nameindex())
    return os.environ.get("TONECAST_PRIVATE_NET") == "inside" and names == ["lo", "tcveth0", "tcveth1"]


def _ip(*args):
    subprocess.run(["ip", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


class VirtualRoom:
    def __init__(self, hosts):
        if not 1 <= hosts <= MAX_HOSTS:
            raise ValueError("a room holds 1 to %d hosts" % MAX_HOSTS)
        self.hosts = hosts
        self._made = []

    # Names: host i is the namespace tchost<i>; its link is tchost<i>n inside it and
    # tchost<i>b on the bridge.
    @staticmethod
    def namespace(host):
        return "tchost%d" % host

    @staticmethod
    def bridge_port(host):
        return "tchost%db" % host

    @staticmethod
    def address(host):
        return ADDRESS_PREFIX + str(FIRST_HOST_ADDRESS + host)

    def __enter__(self):
        self.create()
        return self

    def __exit__(self, *exc):
        self.destroy()

    def create(self):
        # Checked here, before anything is made: made hosts change the list of interfaces.
        if not inside_private_network():
            raise NotPrivateNetwork("a virtual room is made only inside tests/e2e/netns_run.sh")
        try:
            _ip("link", "add", BRIDGE, "type", "bridge")
            self._made.append(("link", "del", BRIDGE))
            _ip("link", "set", BRIDGE, "up")
            for host in range(self.hosts):
                self._add_host(host)
        except BaseException:
            self.destroy()
            raise

    def _add_host(self, host):
        name, port, inner = self.namespace(host), self.bridge_port(host), "tchost%dn" % host
        _ip("netns", "add", name)
        self._made.append(("netns", "del", name))
        _ip("link", "add", port, "type", "veth", "peer", "name", inner, "netns", name)
        # Deleted before the namespace, whose own clean-up comes later, so the names are free at once.
        self._made.append(("link", "del", port))
        _ip("link", "set", port, "master", BRIDGE, "up")
        self._bring_up(name, inner, self.address(host))

    @staticmethod
    def _bring_up(name, inner, address):
        """Addresses the host's one link and routes everything through it."""
        for args in (("link", "set", "lo", "up"),
                     ("addr", "add", address + "/24", "dev", inner),
                     ("link", "set", inner, "up"),
                     ("route", "add", "default", "dev", inner)):
            _ip("-n", name, *args)

    @staticmethod
    def link_addresses(host):
        """(host's own address, the front host's end) on the link of a host added behind another."""
        return "198.18.%d.2" % (host + 2), "198.18.%d.1" % (host + 2)

    @staticmethod
    def front_end(host):
        """The front host's end of the link of a host added behind another."""
        return "tchost%df" % host

    def add_host_behind(self, front):
        """Adds a host whose one link leads to the front host instead of the bridge, like a PC behind
        a slow or lossy link, and returns its index. Nothing crosses the front host unless a program
        there passes it on (tests/e2e/link_relay.py). Each end has its address from link_addresses."""
        host = self.hosts
        if host >= MAX_HOSTS:
            raise ValueError("a room holds 1 to %d hosts" % MAX_HOSTS)
        self.hosts += 1
        name, inner, front_name = self.namespace(host), "tchost%dn" % host, self.namespace(front)
        own, front_address = self.link_addresses(host)
        _ip("netns", "add", name)
        self._made.append(("netns", "del", name))
        _ip("-n", front_name, "link", "add", self.front_end(host), "type", "veth", "peer", "name", inner,
            "netns", name)
        _ip("-n", front_name, "addr", "add", front_address + "/24", "dev", self.front_end(host))
        _ip("-n", front_name, "link", "set", self.front_end(host), "up")
        self._bring_up(name, inner, own)
        return host

    def destroy(self):
        while self._made:
            subprocess.run(["ip", *self._made.pop()], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def command(self, host, argv):
        """The command line that runs argv on the host."""
        if not 0 <= host < self.hosts:
            raise IndexError("no host %d in a room of %d" % (host, self.hosts))
        return ["ip", "netns", "exec", self.namespace(host), *argv]

    def start(self, host, argv, **popen_options):
        """Starts argv on the host; the process is argv itself (ip netns exec replaces itself)."""
        return subprocess.Popen(self.command(host, argv), **popen_options)

    def run(self, host, argv, **run_options):
        return subprocess.run(self.command(host, argv), **run_options)

    def capture(self):
        """Records every UDP datagram the bridge hands to a host, from now until stopped."""
        return Capture(self)


class Datagram:
    def __init__(self, host, source, destination, payload, time=None):
        self.host = host                  # index of the receiving host
        self.source = source              # (address, port)
        self.destination = destination    # (address, port), possibly the broadcast address
        self.payload = payload
        self.time = time                  # when the bridge handed it over, on time.monotonic()

    def __repr__(self):
        return "Datagram(to host %d, %s -> %s, %r)" % (self.host, self.source, self.destination, self.payload)


ETH_P_ALL = 0x0003
ETH_P_IP = 0x0800
PACKET_OUTGOING = 4  # the frame leaves through the interface it was seen on
SO_TIMESTAMPNS = 35  # the kernel's receive time of each frame, as a struct timespec of the real-time clock


class Capture:
    """A packet socket on the room's own side of the bridge: a frame leaving the bridge through
    host i's port is one that host i receives. Use as a context manager, or start() and stop()."""

    def __init__(self, room):
        self._ports = {room.bridge_port(host): host for host in range(room.hosts)}
        self._lock = threading.Lock()
        self._datagrams = []
        self._socket = None
        self._thread = None
        self._stopping = threading.Event()

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self._socket = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        self._socket.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self._socket.settimeout(0.05)
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def stop(self):
        self._stopping.set()
        self._thread.join()
        self._socket.close()

    def datagrams(self, host=None):
        """What was captured so far, in order; only what the given host received if one is named."""
        with self._lock:
            return [d for d in self._datagrams if host is None or d.host == host]

    def _read(self):
        while not self._stopping.is_set():
            try:
                frame, ancillary, _, (interface, _, packet_type, _, _) = self._socket.recvmsg(
                    65536, socket.CMSG_SPACE(16))
            except socket.timeout:
                continue
            if packet_type != PACKET_OUTGOING or interface not in self._ports:
                continue
            datagram = _udp_datagram(self._ports[interface], frame, _monotonic_time(ancillary))
            if datagram is not None:
                with self._lock:
                    self._datagrams.append(datagram)


def _monotonic_time(ancillary):
    """The kernel's time stamp of a frame moved from the real-time clock to the monotonic one, which
    tonecast keeps time by: read when the frame is already here, so a late reader changes nothing."""
    for level, kind, data in ancillary:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(data) >= 16:
            seconds, nanoseconds = struct.unpack("qq", data[:16])
            return seconds + nanoseconds / 1e9 - (time.clock_gettime(time.CLOCK_REALTIME) - time.monotonic())
    return None


def _udp_datagram(host, frame, received):
    """The UDP datagram in an Ethernet frame carrying IPv4, or None."""
    if len(frame) < 14 + 20 or struct.unpack("!H", frame[12:14])[0] != ETH_P_IP:
        return None
    ip = frame[14:]
    header_length = (ip[0] & 0x0F) * 4
    total_length = struct.unpack("!H", ip[2:4])[0]
    if ip[9] != socket.IPPROTO_UDP or len(ip) < header_length + 8:
        return None
    source = socket.inet_ntoa(ip[12:16])
    destination = socket.inet_ntoa(ip[16:20])
    udp = ip[header_length:total_length]
    source_port, destination_port, udp_length = struct.unpack("!HHH", udp[:6])
    return Datagram(host, (source, source_port), (destination, destination_port), bytes(udp[8:udp_length]),
                    received)
