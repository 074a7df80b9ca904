#!/usr/bin/env python3
"""Writes a copy of a Standard MIDI File without its system-exclusive events, for tonecast to play.

tonecast refuses a file that holds system-exclusive events ("Sorry, no complete SysEx messages"):
they set up a synthesizer and carry no note. The copy leaves out every F0 and F7 event (status,
length and data); the delta time of a dropped event is added to the next event's, so every other
event keeps its time, and each track chunk's length is set to what the track now holds. All other
bytes are copied as they are, other chunks too.

Events are read the way tonecast reads them: running status carries on from one track to the next
and across meta events. An event written under running status right after a dropped event keeps
the status in force before it, which is how the copy is then read.

Usage: strip_sysex.py IN.mid OUT.mid
"""
import struct
import sys

from make_song import vlq

SYSEX_STATUSES = (0xF0, 0xF7)
META = 0xFF


class NotReadable(Exception):
    """A file whose events cannot be told apart; tonecast refuses it for this reason too."""


def read_var_len(data, position):
    """(value, position after it) of the variable-length quantity at position."""
    value = 0
    while True:
        if position >= len(data):
            raise NotReadable("the track ends inside a number")
        byte = data[position]
        position += 1
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            return value, position


def event_end(body, position, status):
    """(position after the event starting at position, its status) under the given running status."""
    in_hand = 0
    if body[position] & 0x80:
        status = body[position]
    elif status < 0xF0:
        in_hand = 1  # running status: this is the first data byte
    position += 1  # a data byte under a system status is dropped, as tonecast does
    if status in SYSEX_STATUSES:
        length, position = read_var_len(body, position)
        position += length
    elif status == META:
        length, position = read_var_len(body, position + 1)
        position += length
    elif 0x80 <= status < 0xF0:
        position += (1 if 0xC0 <= status <= 0xDF else 2) - in_hand
    else:
        raise NotReadable("status byte 0x%02X cannot be read" % status)
    if position > len(body):
        raise NotReadable("the track ends inside an event")
    return position, status


def strip_track(body, status):
    """(the track's events without system-exclusive ones, count dropped, running status after it)."""
    kept, dropped, carried_ticks, position = bytearray(), 0, 0, 0
    while position < len(body):
        delta, event_start = read_var_len(body, position)
        if event_start >= len(body):
            raise NotReadable("the track ends after a delta time")
        end, event_status = event_end(body, event_start, status)
        if event_status in SYSEX_STATUSES:
            dropped += 1
            carried_ticks += delta
        else:
            status = event_status
            kept += vlq(carried_ticks + delta) if carried_ticks else body[position:event_start]
            kept += body[event_start:end]
            carried_ticks = 0
        position = end
    return bytes(kept), dropped, status


def strip_file(data):
    """(the file without system-exclusive events, how many were dropped)."""
    if data[:4] != b"MThd" or len(data) < 8:
        raise NotReadable("not a Standard MIDI File")
    out, dropped, status, position, tracks = bytearray(), 0, 0, 0, 0
    while position + 8 <= len(data):
        kind = data[position:position + 4]
        length = struct.unpack(">I", data[position + 4:position + 8])[0]
        body = data[position + 8:position + 8 + length]
        if kind == b"MTrk":
            tracks += 1
            if len(body) < length:
                raise NotReadable("track %d ends early" % tracks)
            body, dropped_here, status = strip_track(body, status)
            dropped += dropped_here
            out += kind + struct.pack(">I", len(body)) + body
        else:
            out += data[position:position + 8] + body
        position += 8 + length
    return bytes(out + data[position:]), dropped


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: strip_sysex.py IN.mid OUT.mid\n")
        return 2
    with open(argv[1], "rb") as source:
        data = source.read()
    try:
        stripped, dropped = strip_file(data)
    except NotReadable as fault:
        sys.stderr.write("%s: %s\n" % (argv[1], fault))
        return 1
    with open(argv[2], "wb") as target:
        target.write(stripped)
    print("%s: %d system-exclusive events left out, written to %s" % (argv[1], dropped, argv[2]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
