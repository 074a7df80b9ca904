"""Malformed MIDI files loaded by the real binary, with no client: every cut of a bundled song,
every error the reader raises, the silent failures, huge declared lengths, division 0 and keys of
128 and above. Each run must end with its exact message and status 0, never crash or hang, and
leak nothing: a sanitizer build checks every run for leaks at shutdown (a leak changes the status),
otherwise a sample of the files runs under valgrind.

A file that fails to load ends before the server binds. A file that loads plays to the end of its
song with nobody to hear it, so the songs that load here are all over within a second.
"""
import os
import re
import struct
import subprocess
import tempfile
import unittest

import e2e_support as e2e
from midi_bytes import END_OF_TRACK, chunk, header, var_len

SERVER_START = e2e.BANNER + "Running as server\n"
FAILED = "There were errors reading the MIDI file. [%d]\n"
BOUND = "SV: Binded to port 27000\n"
RUN_SECONDS = 30


END = END_OF_TRACK
TEMPO = b"\x00\xff\x51\x03\x07\xa1\x20"  # 500000 us per quarter note, at delta 0
TEMPO_LINES = "Tempo: 500000 [4]\nlength of quarternote: 500 ms\n"
NOTE = b"\x00\x90\x3c\x64\x83\x60\x80\x3c\x40"  # key 60 from tick 0 to tick 480


def header_line(fmt, tracks, division):
    return "header: %d %d div:%d\n" % (fmt, tracks, division)


def one_track(body, length=None):
    """A format 0 file of one track at division 480."""
    return header(0, 1, 480) + chunk(body, length)


def reported(code):
    """The reader's error line and the loader's message, which continues it."""
    return "Error:%d" % code + FAILED % code


def failing_files():
    """(name, file, what loading prints, what goes to standard error) for loads that must fail."""
    line = header_line(0, 1, 480)
    cases = [
        ("empty", b"", reported(-1)),
        ("id cut short", b"MTh", reported(-1)),
        ("no MThd", b"MTrk" + header(0, 1, 480)[4:], reported(-2)),
        ("header length 7", header(0, 1, 480, length=7), reported(-4)),
        ("header length with bit 31", header(0, 1, 480, length=0x80000006), FAILED % -2147483642),
        ("format 3", header(3, 1, 480), reported(-6)),
        # A negative format word is reported as a code; -32768 lies outside the message table.
        ("format word 0xfff9", header(0xFFF9, 1, 480), reported(-7)),
        ("format word 0x8000", header(0x8000, 1, 480), reported(-32768)),
        ("format word cut", b"MThd\x00\x00\x00\x06\x00", "Error:-1" + reported(-1)),
        ("tracks word cut", b"MThd\x00\x00\x00\x06\x00\x00\x00", reported(-1)),
        ("tracks 0xffff", header(1, 0xFFFF, 480), FAILED % -1),
        ("tracks 0x8000", header(1, 0x8000, 480), FAILED % -32768),
        ("frame division", header(1, 2, 0xE728), FAILED % -6360),
        ("division 0xffff", header(1, 2, 0xFFFF), FAILED % -1),
        ("no MTrk", header(0, 1, 480) + b"MTrx" + chunk(END)[4:], line + reported(-7)),
        ("fewer tracks than announced", header(1, 2, 480) + chunk(TEMPO + END),
         header_line(1, 2, 480) + TEMPO_LINES + reported(-1)),
        ("track length with bit 31", one_track(END, 0x80000000), line + FAILED % -2147483648),
        # Events after the end-of-track event are read on, up to the end of the input.
        ("track length 0x7fffffff", one_track(TEMPO + NOTE + END, 0x7FFFFFFF),
         line + TEMPO_LINES + reported(-1)),
        ("track length 0", one_track(b""), line + reported(-14)),
        ("no end of track", one_track(TEMPO + NOTE), line + TEMPO_LINES + reported(-14)),
        ("system exclusive", one_track(TEMPO + b"\x00\xf0\x03\x01\x02\xf7" + END),
         line + TEMPO_LINES + reported(-8)),
        ("system exclusive continued", one_track(b"\x00\xf7\x01\x00" + END), line + reported(-8)),
        ("system common", one_track(b"\x00\xf3\x01" + END), line + reported(-8)),
        ("data byte before any status", one_track(b"\x00\x3c\x40" + END), line + reported(-10)),
        ("tempo of length 4", one_track(b"\x00\xff\x51\x04\x07\xa1\x20\x00" + END), line + reported(-11)),
        ("end of track of length 1", one_track(b"\x00\xff\x2f\x01\x00"), line + reported(-11)),
        ("sequence number of length 0", one_track(b"\x00\xff\x00\x00" + END), line + reported(-11)),
        ("key signature of 8 sharps", one_track(b"\x00\xff\x59\x02\x08\x00" + END), line + reported(-12)),
        ("key signature of 8 flats", one_track(b"\x00\xff\x59\x02\xf8\x00" + END), line + reported(-12)),
        ("key signature mode 2", one_track(b"\x00\xff\x59\x02\x00\x02" + END), line + reported(-12)),
        # Quantities of five bytes with bit 31 set are negative and end the reading unreported.
        ("delta with bit 31", one_track(TEMPO + var_len(0x80000000) + b"\x90\x3c\x64" + END),
         line + TEMPO_LINES + FAILED % -2147483648),
        ("meta length -1", one_track(b"\x00\xff\x01" + var_len(0xFFFFFFFF) + b"abc" + END),
         line + FAILED % -1),
        # Declared lengths far beyond what follows must neither be trusted with memory nor lead
        # the reader past the end of the input or of its track.
        ("meta length beyond its track",
         one_track(b"\x00\xff\x01" + var_len(0x0FFFFFFF) + b"0123456789") + chunk(END),
         line + reported(-1)),
        ("delta beyond its track", one_track(b"\x81\x81", 2) + chunk(END), line + reported(-1)),
    ]
    for length in (0x0FFFFFFF, 0x7FFFFFFF):
        cases.append(("meta length %#x" % length,
                      one_track(TEMPO + b"\x00\xff\x7f" + var_len(length) + b"only this", 0x7FFFFFFF),
                      line + TEMPO_LINES + reported(-1)))
    errors = {"system exclusive": "Sorry, no complete SysEx messages\n",
              "system exclusive continued": "Sorry, no incomplete SysEx messages\n"}
    return [(name, data, printed, errors.get(name, "")) for name, data, printed in cases]


def playing_files():
    """(name, file, what loading prints) for odd files that load, bind and play to their end."""
    keys = (TEMPO + b"\x00\x90\x80\x64" + b"\x00\x90\xff\xff" + b"\x00\x90\x3c\xc8"
            + b"\x83\x60\x80\xc8\x40" + b"\x00\x90\xff\x00" + b"\x00\x80\x3c\x40" + b"\x00\x80\x80\x00"
            + b"\x00\x90\x3e\x64\x81\x70\x80\x3e\x40" + END)
    # Division 0: whatever the ticks, every time is 0 ms.
    huge_deltas = (TEMPO + var_len(0x0FFFFFFF) + b"\x90\x3c\x64" + var_len(0x0FFFFFFF)
                   + b"\x80\x3c\x40" + END)
    # Eight deltas of 2^28 - 1 and one of 8 take the tick count past 2^31: a time beyond the signed
    # range must neither crash the loading nor leave the song waiting for it.
    wrapped = (TEMPO + var_len(0x0FFFFFFF) + b"\xb0\x07\x64" + (var_len(0x0FFFFFFF) + b"\x07\x64") * 7
               + b"\x08\x90\x3c\x64\x81\x70\x80\x3c\x40" + END)
    other_meta = (TEMPO + b"\x00\xff\x09\x03abc" + b"\x00\xff\x7e\x00" + b"\x00\xff\x03\x00"
                  + b"\x00\xff\x7f\x02\x00\x01" + b"\x00\xff\x54\x05\x60\x00\x00\x00\x00"
                  + b"\x00\xff\x58\x04\x04\x02\x18\x08" + b"\x00\xff\x59\x02\xf9\x01"
                  + b"\x00\xff\x00\x02\x00\x07" + NOTE + END)
    format_2 = header(2, 2, 96) + chunk(TEMPO + NOTE + END) + chunk(b"\x00\xff\x51\x03\x0f\x42\x40" + NOTE + END)
    return [
        ("keys of 128 and above", one_track(keys), header_line(0, 1, 480) + TEMPO_LINES),
        ("division 0", header(0, 1, 0) + chunk(huge_deltas), header_line(0, 1, 0) + TEMPO_LINES),
        ("tick count wrapped", one_track(wrapped), header_line(0, 1, 480) + TEMPO_LINES),
        ("unknown and odd meta events", one_track(other_meta),
         header_line(0, 1, 480) + TEMPO_LINES),
        ("format 2 with a tempo per track", format_2,
         header_line(2, 2, 96) + TEMPO_LINES + "Tempo: 1000000 [4]\nlength of quarternote: 1000 ms\n"),
        ("no tracks", header(1, 0, 480), header_line(1, 0, 480)),
        ("bytes after the last track", one_track(NOTE + END) + b"\xff" * 64,
         header_line(0, 1, 480)),
    ]


def frere_jacques_cuts():
    """Every cut of the bundled round short of its whole length, and what loading it prints."""
    with open(os.path.join(e2e.REPO, "songs", "frere_jacques.mid"), "rb") as song:
        data = song.read()
    fmt, tracks, division = struct.unpack(">HHH", data[8:14])
    tempo_at = data.index(b"\xff\x51\x03")
    tempo = int.from_bytes(data[tempo_at + 3:tempo_at + 6], "big")
    tempo_lines = "Tempo: %d [4]\nlength of quarternote: %d ms\n" % (tempo, tempo // 1000)
    for size in range(len(data)):
        printed = header_line(fmt, tracks, division) if size >= 14 else ""
        if size >= tempo_at + 6:
            printed += tempo_lines
        # A format word cut short is reported by the number reader and again as a format.
        printed += "Error:-1Error:-1" if size in (8, 9) else "Error:-1"
        yield size, data[:size], printed + FAILED % -1


class BadFiles(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def write(self, name, data):
        path = os.path.join(self.folder.name, re.sub(r"\W+", "-", name) + ".mid")
        with open(path, "wb") as file:
            file.write(data)
        return path

    def check_run(self, name, data, printed, errors="", tool=()):
        """Runs `tonecast -s` on the file, under the tool if one is given, with a limit on its time
        (a hang fails the test), and checks what it printed and its status."""
        path = self.write(name, data)
        try:
            result = subprocess.run([*tool, e2e.TONECAST, "-s", path], capture_output=True, text=True,
                                    timeout=RUN_SECONDS)
        except subprocess.TimeoutExpired:
            self.fail("%s: still running after %d s" % (name, RUN_SECONDS))
        self.assertEqual(result.stdout, SERVER_START + printed + "Quit.\n", name)
        self.assertEqual(result.returncode, 0, "%s: %s" % (name, result.stderr))
        if not tool:
            self.assertEqual(result.stderr, errors, name)
        return result

    def test_every_cut_of_a_song_ends_with_premature_end_of_file(self):
        for size, data, printed in frere_jacques_cuts():
            self.check_run("cut at %d" % size, data, printed)

    def test_each_reader_failure_ends_with_its_message_before_the_server_binds(self):
        for name, data, printed, errors in failing_files():
            self.check_run(name, data, printed, errors)

    def test_odd_files_that_load_play_to_their_end_without_clients(self):
        for name, data, printed in playing_files():
            self.check_run(name, data, printed + BOUND)

    @unittest.skipIf(e2e.SANITIZER_BUILD, "valgrind cannot run a sanitizer build, which checks leaks itself")
    def test_a_sample_of_the_files_leaks_nothing_under_valgrind(self):
        # Every failed load must also leave the same blocks in use at its end, whatever it had
        # read: records and buffers still reachable at exit would not count as lost.
        cuts = [cut for cut in frere_jacques_cuts() if cut[0] % 40 == 0 or cut[0] in (9, 77, 400, 896)]
        failing = [(name, data, printed) for name, data, printed, _ in failing_files()]
        failing += [("cut at %d" % size, data, printed) for size, data, printed in cuts]
        in_use = {}
        for name, data, printed in failing:
            result = self.check_run(name, data, printed, tool=e2e.VALGRIND)
            found = re.search(r"in use at exit: ([\d,]+) bytes in ([\d,]+) blocks", result.stderr)
            self.assertIsNotNone(found, result.stderr)
            in_use.setdefault(found.groups(), []).append(name)
        self.assertEqual(len(in_use), 1, in_use)
        for name, data, printed in playing_files():
            self.check_run(name, data, printed + BOUND, tool=e2e.VALGRIND)


if __name__ == "__main__":
    e2e.main()
