#!/usr/bin/env python3
"""Writes a Standard MIDI File (format 1) from a note-list text file.

The note list, one item per line; a word starting with '#' starts a comment:

    title: Minuet in G          name of the song, stored as the first track's name (ASCII)
    division: 480               ticks per quarter note
    time: 3/4                   time signature; bar lines and tempo positions count in it
    tempo: 120                  quarter notes per minute from the start
    tempo: 90 at 31:3           a tempo change at bar 31, beat 3 (bars and beats count from 1,
                                a beat is the time signature's note value)

    voice: Treble               starts a voice; every voice becomes its own track and channel
    velocity: 90                optional, 1 to 127, default 80
    D5 q G4 e A4 e | r h. ...   notes and rests

A note is a pitch name (C D E F G A B), an optional '#' or 'b', an octave (C4 is key 60) and a
duration: w h q e s (whole to sixteenth), optionally dotted ('q.'). A rest is 'r' and a duration.
A bar line '|' must fall on a bar boundary, which catches transcription slips.

Usage: make_song.py SONG.txt [SONG.mid]   (the output defaults to the input with .mid)
"""
import re
import struct
import sys
from fractions import Fraction

NOTE_STEPS = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}
QUARTERS = {"w": 4, "h": 2, "q": 1, "e": Fraction(1, 2), "s": Fraction(1, 4)}
NOTE = re.compile(r"^(?:r|(?P<step>[A-G])(?P<accidental>[#b]?)(?P<octave>-1|\d))$")
DURATION = re.compile(r"^(?P<letter>[whqes])(?P<dot>\.?)$")
TEMPO = re.compile(r"^(?P<bpm>\d+(?:\.\d+)?)(?:\s+at\s+(?P<bar>\d+)(?::(?P<beat>\d+))?)?$")
COMMENT = re.compile(r"(^|\s)#.*$")  # a '#' inside a word is a sharp
DEFAULT_VELOCITY = 80
NOTE_OFF_VELOCITY = 64
MAX_CHANNELS = 16


class SongError(Exception):
    """A fault in the note list, reported with the line it was found on."""


class Voice:
    def __init__(self, name):
        self.name = name
        self.velocity = DEFAULT_VELOCITY
        self.notes = []        # (start tick, length in ticks, key); rests leave gaps
        self.end = 0           # tick after the last note or rest


class Song:
    def __init__(self):
        self.title = None
        self.division = None
        self.time = None       # (numerator, denominator)
        self.tempos = []       # (tick, microseconds per quarter note)
        self.voices = []

    def bar_ticks(self):
        numerator, denominator = self.time
        return self.division * 4 * numerator // denominator

    def beat_ticks(self):
        return self.division * 4 // self.time[1]


def vlq(value):
    """The variable-length quantity of a delta time or a meta event's length."""
    groups = [value & 0x7F]
    value >>= 7
    while value:
        groups.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(groups))


def meta(kind, data):
    return bytes([0xFF, kind]) + vlq(len(data)) + data


def track_chunk(events):
    """events: (tick, bytes) in the order they are to be written; ticks never decrease."""
    body = bytearray()
    now = 0
    for tick, data in events:
        body += vlq(tick - now) + data
        now = tick
    return b"MTrk" + struct.pack(">I", len(body)) + bytes(body)


def ascii_text(text, what):
    try:
        return text.encode("ascii")
    except UnicodeEncodeError:
        raise SongError(f"{what} must be ASCII: {text!r}") from None


def parse_key(word):
    match = NOTE.match(word)
    if not match:
        raise SongError(f"not a note or rest: {word!r}")
    if word == "r":
        return None
    key = (12 * (int(match["octave"]) + 1) + NOTE_STEPS[match["step"]]
           + {"": 0, "#": 1, "b": -1}[match["accidental"]])
    if not 0 <= key <= 127:
        raise SongError(f"note outside the MIDI keys 0 to 127: {word!r}")
    return key


def parse_length(word, division):
    match = DURATION.match(word)
    if not match:
        raise SongError(f"not a duration: {word!r}")
    quarters = Fraction(QUARTERS[match["letter"]])
    if match["dot"]:
        quarters *= Fraction(3, 2)
    ticks = quarters * division
    if ticks.denominator != 1:
        raise SongError(f"duration {word!r} is not a whole number of ticks at division {division}")
    return int(ticks)


def add_music(song, voice, text):
    words = text.split()
    i = 0
    while i < len(words):
        if words[i] == "|":
            if voice.end % song.bar_ticks():
                raise SongError(f"bar line at beat {voice.end / song.beat_ticks() + 1:g} of the "
                                f"song, not at the end of a bar")
            i += 1
            continue
        if i + 1 == len(words):
            raise SongError(f"{words[i]!r} has no duration")
        key = parse_key(words[i])
        length = parse_length(words[i + 1], song.division)
        if key is not None:
            voice.notes.append((voice.end, length, key))
        voice.end += length
        i += 2


def parse_tempo(song, value):
    match = TEMPO.match(value)
    if not match:
        raise SongError(f"tempo must be 'BPM' or 'BPM at BAR[:BEAT]': {value!r}")
    bpm = float(match["bpm"])
    if bpm <= 0 or not 1 <= round(60_000_000 / bpm) <= 0xFFFFFF:
        raise SongError(f"tempo {match['bpm']} does not fit a set-tempo event")
    microseconds = round(60_000_000 / bpm)
    if match["bar"] is None:
        tick = 0
    else:
        bar, beat = int(match["bar"]), int(match["beat"] or 1)
        if bar < 1 or not 1 <= beat <= song.time[0]:
            raise SongError(f"no such bar and beat: {value!r}")
        tick = (bar - 1) * song.bar_ticks() + (beat - 1) * song.beat_ticks()
    if (tick == 0) != (not song.tempos) or (song.tempos and tick <= song.tempos[-1][0]):
        raise SongError("the first tempo holds from the start; each later one comes after the one before")
    song.tempos.append((tick, microseconds))


def parse_time(value):
    match = re.match(r"^(\d+)/(\d+)$", value)
    if not match:
        raise SongError(f"time signature must be like 3/4: {value!r}")
    numerator, denominator = int(match[1]), int(match[2])
    if not 1 <= numerator <= 127 or denominator not in (1, 2, 4, 8, 16, 32):
        raise SongError(f"unsupported time signature {value!r}")
    return numerator, denominator


def parse_header(song, name, value):
    if name == "title":
        ascii_text(value, "title")
        song.title = value
    elif name == "division":
        if not value.isdigit() or not 1 <= int(value) <= 0x7FFF:
            raise SongError(f"division must be 1 to 32767 ticks per quarter note: {value!r}")
        song.division = int(value)
    elif name == "time":
        song.time = parse_time(value)
    elif name == "tempo":
        if song.division is None or song.time is None:
            raise SongError("division and time come before the tempo")
        if song.division * 4 % song.time[1]:
            raise SongError(f"a 1/{song.time[1]} beat is not a whole number of ticks")
        parse_tempo(song, value)
    else:
        raise SongError(f"unknown setting {name!r}")


def parse_song(lines):
    song = Song()
    voice = None
    for number, raw in enumerate(lines, 1):
        line = COMMENT.sub("", raw).strip()
        if not line:
            continue
        try:
            setting = re.match(r"^([a-z]+):\s*(.*)$", line)
            if setting and setting[1] == "voice":
                if None in (song.title, song.division, song.time) or not song.tempos:
                    raise SongError("title, division, time and tempo come before the first voice")
                voice = Voice(setting[2])
                ascii_text(voice.name, "voice name")
                song.voices.append(voice)
            elif setting and voice is not None:
                if setting[1] != "velocity" or not setting[2].isdigit() \
                        or not 1 <= int(setting[2]) <= 127:
                    raise SongError(f"a voice takes only 'velocity: 1 to 127': {line!r}")
                voice.velocity = int(setting[2])
            elif setting:
                parse_header(song, setting[1], setting[2])
            elif voice is None:
                raise SongError("notes before the first 'voice:'")
            else:
                add_music(song, voice, line)
        except SongError as error:
            raise SongError(f"line {number}: {error}") from None
    if not song.voices:
        raise SongError("the song has no voice")
    if len(song.voices) > MAX_CHANNELS:
        raise SongError(f"more than {MAX_CHANNELS} voices")
    for voice in song.voices:
        if not voice.notes:
            raise SongError(f"voice {voice.name!r} has no notes")
    if song.tempos[-1][0] >= max(voice.end for voice in song.voices):
        raise SongError("a tempo change after the end of the song")
    return song


def conductor_track(song):
    numerator, denominator = song.time
    end = max(voice.end for voice in song.voices)
    events = [(0, meta(0x03, ascii_text(song.title, "title"))),
              (0, meta(0x58, bytes([numerator, denominator.bit_length() - 1, 96 // denominator, 8])))]
    events += [(tick, meta(0x51, microseconds.to_bytes(3, "big"))) for tick, microseconds in song.tempos]
    events.append((end, meta(0x2F, b"")))
    return track_chunk(events)


def voice_track(voice, channel):
    events = [(0, meta(0x03, ascii_text(voice.name, "voice name")))]
    # A voice's notes follow one another, so each note-off comes before the next note-on at the
    # same tick and a repeated key is heard as two notes.
    for start, length, key in voice.notes:
        events.append((start, bytes([0x90 | channel, key, voice.velocity])))
        events.append((start + length, bytes([0x80 | channel, key, NOTE_OFF_VELOCITY])))
    events.append((voice.end, meta(0x2F, b"")))
    return track_chunk(events)


def midi_file(song):
    header = b"MThd" + struct.pack(">IHHH", 6, 1, 1 + len(song.voices), song.division)
    tracks = [conductor_track(song)]
    tracks += [voice_track(voice, channel) for channel, voice in enumerate(song.voices)]
    return header + b"".join(tracks)


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write("usage: make_song.py SONG.txt [SONG.mid]\n")
        return 2
    source = argv[1]
    target = argv[2] if len(argv) == 3 else re.sub(r"(\.txt)?$", ".mid", source, count=1)
    try:
        with open(source, encoding="utf-8") as text:
            song = parse_song(text.read().splitlines())
        data = midi_file(song)
        with open(target, "wb") as out:
            out.write(data)
    except OSError as error:
        sys.stderr.write(f"make_song: {error}\n")
        return 1
    except (SongError, UnicodeDecodeError) as error:
        sys.stderr.write(f"make_song: {source}: {error}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
