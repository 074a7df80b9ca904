#include <gtest/gtest.h>

#include "midi_harness.h"

using namespace midibytes;
using namespace midiharness;

namespace {
const Bytes NOTE_ON = {0x00, 0x90, 0x3C, 0x64};
}

TEST(MidiTrack, WrongChunkIdIsRefusedNotSkipped) {
    Bytes other = cat({text("XFIH"), word32(4), endOfTrack()});
    Outcome o = readRecorded(cat({header(1, 2, 96), other, track(endOfTrack())}));
    EXPECT_EQ(o.result, -7);
    EXPECT_EQ(o.out, "Error:-7");
    EXPECT_EQ(o.log, (Log{"header 1 2 96 @0", "error 'MTrk' expected"}));
    EXPECT_EQ(o.bytesRead, 18u);  // the id, and nothing after it
}

TEST(MidiTrack, TrackWithoutEndOfTrackIsRefused) {
    Outcome noEot = readRecorded(song(0, 96, {NOTE_ON}));
    EXPECT_EQ(noEot.result, -14);
    EXPECT_EQ(noEot.out, "Error:-14");
    EXPECT_EQ(noEot.log, (Log{"header 0 1 96 @0", "starttrack @0", "noteon 0 60 100 @0",
                              "error Missing end-of-track meta-event"}));

    Outcome empty = readRecorded(song(0, 96, {{}}));
    EXPECT_EQ(empty.result, -14);
    EXPECT_EQ(empty.out, "Error:-14");
    EXPECT_EQ(empty.log, (Log{"header 0 1 96 @0", "starttrack @0", "error Missing end-of-track meta-event"}));

    // The end-of-track event of one track does not count for the next.
    Outcome second = readRecorded(song(1, 96, {endOfTrack(), NOTE_ON}));
    EXPECT_EQ(second.result, -14);
}

TEST(MidiTrack, ByteCountRunningOutIsPrematureEnd) {
    // A delta time whose continuation bytes pass the chunk's length.
    Outcome delta = readRecorded(cat({header(0, 1, 96), trackWithLength(2, {0x81, 0x80, 0x00, 0x90, 0x3C, 0x64})}));
    EXPECT_EQ(delta.result, -1);
    EXPECT_EQ(delta.out, "Error:-1");
    EXPECT_EQ(delta.log, (Log{"header 0 1 96 @0", "starttrack @0", "error Premature end of file"}));

    // A note-on cut by the chunk's length, though the file goes on.
    Outcome data = readRecorded(cat({header(0, 1, 96), trackWithLength(3, cat({NOTE_ON, endOfTrack()}))}));
    EXPECT_EQ(data.result, -1);
    EXPECT_EQ(data.out, "Error:-1");
    EXPECT_EQ(data.log, (Log{"header 0 1 96 @0", "starttrack @0", "error Premature end of file"}));

    // The file ends inside a track whose length promises more.
    Outcome input = readRecorded(cat({header(0, 1, 96), trackWithLength(100, NOTE_ON)}));
    EXPECT_EQ(input.result, -1);
    EXPECT_EQ(input.out, "Error:-1");
    EXPECT_EQ(input.log.back(), "error Premature end of file");

    // The file ends inside the chunk length.
    Outcome inLength = readRecorded(cat({header(0, 1, 96), text("MTrk"), {0, 0}}));
    EXPECT_EQ(inLength.result, -1);
    EXPECT_EQ(inLength.out, "Error:-1");
}

TEST(MidiTrack, NegativeNumbersFromTheFileArePassedUpSilently) {
    Outcome length = readRecorded(cat({header(0, 1, 96), trackWithLength(0x80000010u, endOfTrack())}));
    EXPECT_EQ(length.result, int32_t(0x80000010u));
    EXPECT_EQ(length.out, "");
    EXPECT_EQ(length.log, (Log{"header 0 1 96 @0", "starttrack @0"}));

    // A delta time of 0x80000000.
    Outcome delta = readRecorded(song(0, 96, {{0x88, 0x80, 0x80, 0x80, 0x00, 0x90, 0x3C, 0x64}}));
    EXPECT_EQ(delta.result, INT32_MIN);
    EXPECT_EQ(delta.out, "");
    EXPECT_EQ(delta.log, (Log{"header 0 1 96 @0", "starttrack @0"}));
}

TEST(MidiTrack, LongQuantitiesShiftTheirTopBitsOut) {
    // Six bytes: (1 << 35) + 5 keeps only its low 32 bits, which is 5.
    Outcome o =
        readRecorded(song(0, 96, {cat({{0x81, 0x80, 0x80, 0x80, 0x80, 0x05, 0x90, 0x3C, 0x64}, endOfTrack()})}));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.log, (Log{"header 0 1 96 @0", "starttrack @0", "noteon 0 60 100 @5", "eot @5"}));

    // Time accumulates over the track and restarts with the next one.
    Outcome times = readRecorded(
        song(1, 96,
             {cat({{0x83, 0x60, 0x90, 0x3C, 0x64}, endOfTrack(0x7F)}), cat({{0x10, 0x80, 0x3C, 0x00}, endOfTrack()})}));
    EXPECT_EQ(times.result, 0);
    EXPECT_EQ(times.log, (Log{"header 1 2 96 @0", "starttrack @0", "noteon 0 60 100 @480", "eot @607", "starttrack @0",
                              "noteoff 0 60 0 @16", "eot @16"}));
}

TEST(MidiTrack, EventsAfterEndOfTrackInsideTheLengthAreDecoded) {
    Outcome o = readRecorded(song(0, 96, {cat({endOfTrack(), NOTE_ON})}));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.log, (Log{"header 0 1 96 @0", "starttrack @0", "eot @0", "noteon 0 60 100 @0"}));
}

TEST(MidiTrack, TrackHookRefusalsArePassedUpSilently) {
    for (const char *hook : {"starttrack", "eot"}) {
        freshRecordingReader();
        midirecorder::refusingHook = hook;
        midirecorder::refusal = -5;
        Outcome o = readCaptured(song(1, 96, {cat({endOfTrack(), NOTE_ON}), endOfTrack()}));
        EXPECT_EQ(o.result, -5) << hook;
        EXPECT_EQ(o.out, "") << hook;
        EXPECT_EQ(o.log.back(), std::string(hook) + " @0") << hook;
    }
    // A positive result is no refusal: the end of track counts as seen.
    freshRecordingReader();
    midirecorder::refusingHook = "eot";
    midirecorder::refusal = 3;  // a positive result is no refusal
    Outcome o = readCaptured(song(0, 96, {endOfTrack()}));
    EXPECT_EQ(o.result, 0);
}
