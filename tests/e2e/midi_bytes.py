"""Standard MIDI Files written byte by byte, for the end-to-end tests."""
import struct

END_OF_TRACK = b"\x00\xff\x2f\x00"


def var_len(value):
    """A variable-length quantity of as many bytes as the value needs (five for 2^28 and above)."""
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.insert(0, 0x80 | (value & 0x7F))
        value >>= 7
    return bytes(out)


def header(fmt, tracks, division, length=6):
    return b"MThd" + struct.pack(">IHHH", length, fmt, tracks, division)


def chunk(body, length=None):
    """A track chunk whose declared length is the body's unless one is given."""
    return b"MTrk" + struct.pack(">I", len(body) if length is None else length) + body


def track(events):
    """A track chunk of (delta, event bytes) pairs, closed by its end-of-track event."""
    return chunk(b"".join(var_len(delta) + data for delta, data in events) + END_OF_TRACK)


def song(fmt, division, tracks):
    return header(fmt, len(tracks), division) + b"".join(tracks)
