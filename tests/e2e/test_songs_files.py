"""The bundled songs: each songs/*.mid is what tools/make_song.py makes of its songs/*.txt, and is
a well-formed format 1 file whose voices tonecast can play note by note.

The files are read here by a small reader of their own, so a fault of the writer is not hidden by
the same fault in the reading.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SONGS = os.path.join(REPO, "songs")
MAKE_SONG = os.path.join(REPO, "tools", "make_song.py")
sys.path.insert(0, os.path.join(REPO, "tools"))
from tempo_map import DEFAULT_TEMPO, tick_time  # noqa: E402

SHORT_SONG = "frere_jacques"


def song_names():
    return sorted(name[:-4] for name in os.listdir(SONGS) if name.endswith(".txt"))


def make_song(source, target):
    return subprocess.run([sys.executable, MAKE_SONG, source, target],
                          capture_output=True, text=True, timeout=60)


# --- an independent reader of Standard MIDI Files --------------------------------------------

def read_vlq(data, pos, end):
    value = 0
    for _ in range(4):
        if pos >= end:
            raise ValueError("variable-length quantity runs past its chunk")
        byte = data[pos]
        pos += 1
        value = (value << 7) | (byte & 0x7F)
        if byte < 0x80:
            return value, pos
    raise ValueError("variable-length quantity longer than four bytes")


def read_track(data, pos, end):
    """Events as (tick, kind, ...): ('on', channel, key, velocity), ('off', channel, key),
    ('meta', type, bytes), ('channel', status, data bytes)."""
    events, tick, status = [], 0, None
    while pos < end:
        delta, pos = read_vlq(data, pos, end)
        tick += delta
        if data[pos] & 0x80:
            status = data[pos]
            pos += 1
        elif status is None or status >= 0xF0:
            raise ValueError("data byte without a status")
        if status == 0xFF:
            kind = data[pos]
            length, pos = read_vlq(data, pos + 1, end)
            if pos + length > end:
                raise ValueError("meta event runs past its chunk")
            events.append((tick, "meta", kind, data[pos:pos + length]))
            pos += length
            continue
        if status >= 0xF0:
            raise ValueError("system-exclusive events are not expected")
        size = 1 if 0xC0 <= status < 0xE0 else 2
        if pos + size > end or any(byte & 0x80 for byte in data[pos:pos + size]):
            raise ValueError("bad data bytes")
        body = data[pos:pos + size]
        pos += size
        channel = status & 0x0F
        if status & 0xF0 == 0x90 and body[1] > 0:
            events.append((tick, "on", channel, body[0], body[1]))
        elif status & 0xF0 in (0x80, 0x90):
            events.append((tick, "off", channel, body[0]))
        else:
            events.append((tick, "channel", status, bytes(body)))
    return events


def read_midi(data):
    if data[:4] != b"MThd" or int.from_bytes(data[4:8], "big") != 6:
        raise ValueError("no header chunk of length 6")
    fmt, count, division = (int.from_bytes(data[i:i + 2], "big") for i in (8, 10, 12))
    pos, tracks = 14, []
    for _ in range(count):
        if data[pos:pos + 4] != b"MTrk":
            raise ValueError(f"no track chunk at byte {pos}")
        length = int.from_bytes(data[pos + 4:pos + 8], "big")
        end = pos + 8 + length
        if end > len(data):
            raise ValueError("track chunk runs past the file")
        tracks.append(read_track(data, pos + 8, end))
        pos = end
    if pos != len(data):
        raise ValueError("bytes after the last track")
    return fmt, division, tracks


def sounding_notes(track):
    """The notes of one voice as (start tick, end tick, key); fails on overlaps and loose ends."""
    notes, open_note = [], None
    for tick, kind, *rest in track:
        if kind == "on":
            if open_note is not None:
                raise AssertionError(f"note at tick {tick} starts while another sounds")
            open_note = (tick, rest[1])
        elif kind == "off":
            if open_note is None or open_note[1] != rest[1]:
                raise AssertionError(f"note-off of key {rest[1]} at tick {tick} ends no note")
            notes.append((open_note[0], tick, open_note[1]))
            open_note = None
    if open_note is not None:
        raise AssertionError(f"note at tick {open_note[0]} never ends")
    return notes


def claimed(song):
    """What the note list says: its voices, bar length in quarters and tempos (bar, beat, bpm)."""
    with open(os.path.join(SONGS, song + ".txt"), encoding="utf-8") as text:
        lines = [line.strip() for line in text]
    voices, time, tempos = 0, None, []
    for line in lines:
        voices += line.startswith("voice:")
        match = re.match(r"time:\s*(\d+)/(\d+)", line)
        if match:
            time = (int(match[1]), int(match[2]))
        match = re.match(r"tempo:\s*([\d.]+)(?:\s+at\s+(\d+)(?::(\d+))?)?", line)
        if match:
            tempos.append((int(match[2] or 1), int(match[3] or 1), float(match[1])))
    return voices, time, tempos


TONE_GAP_MS = 20  # the server sends each note's length less this


def program_notes(tracks, division):
    """Every note of a format 1 song as the server schedules and sends it, in time order:
    (start in whole ms after the activate, key, tone length in ms)."""
    # tonecast plays each quarter note for whole milliseconds.
    ms_map = [(tick, int.from_bytes(data, "big") // 1000)
              for tick, _, kind, data in tracks[0] if kind == 0x51]

    def milliseconds(tick):
        return tick_time(tick, ms_map, division, DEFAULT_TEMPO // 1000)

    notes = []
    for track in tracks[1:]:
        for start, end, key in sounding_notes(track):
            start_ms = int(milliseconds(start))
            notes.append((start_ms, key, int(milliseconds(end) - start_ms) - TONE_GAP_MS))
    return sorted(notes)


class BundledSongs(unittest.TestCase):
    def test_every_song_is_regenerated_byte_for_byte(self):
        names = song_names()
        self.assertGreaterEqual(len(names), 3)
        self.assertIn(SHORT_SONG, names)
        self.assertEqual(sorted(name[:-4] for name in os.listdir(SONGS) if name.endswith(".mid")),
                         names, "every note list has its song and no song lacks its note list")
        with tempfile.TemporaryDirectory() as scratch:
            for name in names:
                target = os.path.join(scratch, name + ".mid")
                result = make_song(os.path.join(SONGS, name + ".txt"), target)
                self.assertEqual(result.returncode, 0, result.stderr)
                with open(target, "rb") as made, open(os.path.join(SONGS, name + ".mid"), "rb") as kept:
                    self.assertEqual(made.read(), kept.read(), f"songs/{name}.mid is stale")

    def test_every_song_is_a_playable_format_1_file(self):
        for name in song_names():
            with self.subTest(song=name):
                with open(os.path.join(SONGS, name + ".mid"), "rb") as song:
                    fmt, division, tracks = read_midi(song.read())
                voices, (numerator, denominator), tempos = claimed(name)
                self.assertEqual((fmt, division, len(tracks)), (1, 480, 1 + voices))
                for track in tracks:
                    ends = [event for event in track if event[1:3] == ("meta", 0x2F)]
                    self.assertEqual(ends, [track[-1]], "one end-of-track, the last event")

                conductor = tracks[0]
                self.assertFalse([e for e in conductor if e[1] != "meta"], "no notes in track 1")
                time_signature = bytes([numerator, denominator.bit_length() - 1, 96 // denominator, 8])
                self.assertIn((0, "meta", 0x58, time_signature), conductor)
                tempo_map = [(tick, int.from_bytes(data, "big"))
                             for tick, _, kind, data in conductor if kind == 0x51]
                self.assertEqual(len(tempo_map), len(tempos))
                bar, beat = division * 4 * numerator // denominator, division * 4 // denominator
                for (tick, microseconds), (at_bar, at_beat, bpm) in zip(tempo_map, tempos):
                    self.assertEqual(tick, (at_bar - 1) * bar + (at_beat - 1) * beat)
                    self.assertAlmostEqual(60e6 / microseconds, bpm, delta=0.01)

                channels, end, count = set(), 0, 0
                for track in tracks[1:]:
                    notes = sounding_notes(track)
                    self.assertTrue(notes)
                    channels |= {event[2] for event in track if event[1] in ("on", "off")}
                    end, count = max(end, notes[-1][1]), count + len(notes)
                self.assertEqual(len(channels), voices, "each voice on a channel of its own")

                length = tick_time(end, tempo_map, division) / 1e6
                if name == SHORT_SONG:
                    self.assertLess(length, 15)
                else:
                    self.assertTrue(20 <= length <= 60, f"{length:.1f} s")
                print(f"{name}: {voices} voices, {count} notes, {length:.2f} s", file=sys.stderr)


class MakeSong(unittest.TestCase):
    def run_tool(self, text):
        with tempfile.TemporaryDirectory() as scratch:
            source, target = os.path.join(scratch, "song.txt"), os.path.join(scratch, "song.mid")
            with open(source, "w", encoding="utf-8") as out:
                out.write(text)
            result = make_song(source, target)
            made = None
            if os.path.exists(target):
                with open(target, "rb") as song:
                    made = song.read()
            return result, made

    def test_a_small_song_byte_for_byte(self):
        result, made = self.run_tool(
            "title: T  # a comment\n"
            "division: 480\ntime: 6/8\ntempo: 120\ntempo: 60 at 2:4\n"
            "voice: V\nvelocity: 100\n"
            "r w r w r w r w r w r w r w r w r w | C4 e. F#4 s r e Bb3 q. | r h. |\n"
            "voice: W\nC-1 s G9 s\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        six_eight = bytes([0xFF, 0x58, 4, 6, 3, 12, 8])
        conductor = (b"\x00\xff\x03\x01T" + b"\x00" + six_eight + b"\x00\xff\x51\x03\x07\xa1\x20"
                     # 6/8 bar = 1440 ticks; bar 2 beat 4 = 1440 + 3 * 240 = 2160 (0x90 0x70).
                     + b"\x90\x70\xff\x51\x03\x0f\x42\x40"
                     # the song ends at 9 whole notes + two 6/8 bars = 20160, 18000 later.
                     + b"\x81\x8c\x50\xff\x2f\x00")
        voice_v = (b"\x00\xff\x03\x01V"
                   + b"\x81\x87\x00\x90\x3c\x64" + b"\x82\x68\x80\x3c\x40"   # 17280, then 360
                   + b"\x00\x90\x42\x64" + b"\x78\x80\x42\x40"               # 120
                   + b"\x81\x70\x90\x3a\x64" + b"\x85\x50\x80\x3a\x40"       # 240, 720
                   + b"\x8b\x20\xff\x2f\x00")                                  # 1440
        voice_w = (b"\x00\xff\x03\x01W" + b"\x00\x91\x00\x50\x78\x81\x00\x40"
                   + b"\x00\x91\x7f\x50\x78\x81\x7f\x40" + b"\x00\xff\x2f\x00")
        expected = (b"MThd\x00\x00\x00\x06\x00\x01\x00\x03\x01\xe0"
                    + b"".join(b"MTrk" + len(body).to_bytes(4, "big") + body
                               for body in (conductor, voice_v, voice_w)))
        self.assertEqual(made, expected)

    def test_faulty_note_lists_are_refused_with_their_line(self):
        head = "title: T\ndivision: 480\ntime: 3/4\ntempo: 100\nvoice: V\n"
        faults = {
            head + "C4 q D4 q | E4 h.\n": "line 6",           # bar line one beat early
            head + "C4 q\nH4 q\n": "line 7",                  # no such pitch
            head + "G#9 q\n": "line 6",                       # key 128
            head + "C4\n": "line 6",                          # no duration
            head + "C4 x\n": "line 6",                        # no such duration
            head.replace("tempo: 100", "tempo: 100\ntempo: 90 at 2") + "C4 h.\n": "after the end",
            head.replace("tempo: 100", "tempo: 100 at 2") + "C4 h. C4 h.\n": "line 4",
            head.replace("tempo: 100", "tempo: 0") + "C4 q\n": "line 4",
            head.replace("title: T", "title: Fr\u00e8re") + "C4 q\n": "ASCII",
            "C4 q\n" + head: "line 1",                         # notes before any voice
        }
        for text, complaint in faults.items():
            with self.subTest(text=text):
                result, made = self.run_tool(text)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(complaint, result.stderr)
                self.assertIsNone(made, "nothing is written for a faulty note list")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--tonecast")  # given to every end-to-end test; these need no binary
    _, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
