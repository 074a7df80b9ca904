#include <gtest/gtest.h>

#include "midi_harness.h"

using namespace midibytes;
using namespace midiharness;

namespace {
const Bytes ONE_EMPTY_TRACK = track(endOfTrack());
}

TEST(MidiHeader, MissingByteSourceAndEmptyFileAreReported) {
    clearMidiHooks();
    midirecorder::installAllHooks();
    testing::internal::CaptureStdout();
    int result = mfread();
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error:-3");
    EXPECT_EQ(result, -3);
    EXPECT_EQ(midirecorder::log, (Log{"error 'Mf_getc' undefined"}));

    Outcome empty = readRecorded({});
    EXPECT_EQ(empty.result, -1);
    EXPECT_EQ(empty.out, "Error:-1");
    EXPECT_EQ(empty.log, (Log{"error Premature end of file"}));
}

TEST(MidiHeader, ErrorsArePrintedOnlyWhenMfErrorIsInstalled) {
    freshRecordingReader();
    Mf_error = nullptr;
    Outcome silent = readCaptured({});
    EXPECT_EQ(silent.result, -1);
    EXPECT_EQ(silent.out, "");

    clearMidiHooks();
    testing::internal::CaptureStdout();
    EXPECT_EQ(mfread(), -3);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(MidiHeader, WrongIdLengthOrFormatIsRefused) {
    Outcome wrongId = readRecorded(cat({text("MThx"), word32(6), word16(0), word16(1), word16(96)}));
    EXPECT_EQ(wrongId.result, -2);
    EXPECT_EQ(wrongId.out, "Error:-2");
    EXPECT_EQ(wrongId.log, (Log{"error 'MThd' expected"}));
    EXPECT_EQ(wrongId.bytesRead, 4u);

    Outcome shortId = readRecorded(text("MTh"));
    EXPECT_EQ(shortId.result, -1);
    EXPECT_EQ(shortId.out, "Error:-1");

    Outcome longHeader = readRecorded(cat({text("MThd"), word32(7), word16(0), word16(1), word16(96), {0}}));
    EXPECT_EQ(longHeader.result, -4);
    EXPECT_EQ(longHeader.out, "Error:-4");
    EXPECT_EQ(longHeader.log, (Log{"error Illegal header length"}));

    // A length with bit 31 set is a negative number from the file: passed up, not reported.
    Outcome hugeLength = readRecorded(cat({text("MThd"), word32(0x80000006u), word16(0), word16(1)}));
    EXPECT_EQ(hugeLength.result, int32_t(0x80000006u));
    EXPECT_EQ(hugeLength.out, "");
    EXPECT_TRUE(hugeLength.log.empty());

    Outcome format3 = readRecorded(cat({header(3, 1, 96), ONE_EMPTY_TRACK}));
    EXPECT_EQ(format3.result, -6);
    EXPECT_EQ(format3.out, "Error:-6");
    EXPECT_EQ(format3.log, (Log{"error Illegal file format"}));

    Outcome format2 = readRecorded(cat({header(2, 1, 96), ONE_EMPTY_TRACK}));
    EXPECT_EQ(format2.result, 0);
    EXPECT_EQ(format2.log, (Log{"header 2 1 96 @0", "starttrack @0", "eot @0"}));
}

TEST(MidiHeader, NegativeFormatWordIsReportedAsItsOwnCode) {
    Outcome mthd = readRecorded(cat({header(0xFFFE, 1, 96), ONE_EMPTY_TRACK}));
    EXPECT_EQ(mthd.result, -2);
    EXPECT_EQ(mthd.out, "Error:-2");
    EXPECT_EQ(mthd.log, (Log{"error 'MThd' expected"}));

    Outcome missingEot = readRecorded(cat({header(0xFFF2, 1, 96), ONE_EMPTY_TRACK}));
    EXPECT_EQ(missingEot.result, -14);
    EXPECT_EQ(missingEot.log, (Log{"error Missing end-of-track meta-event"}));

    // Beyond the message table: still one report, with a message of its own.
    Outcome outside = readRecorded(cat({header(0x8000, 1, 96), ONE_EMPTY_TRACK}));
    EXPECT_EQ(outside.result, -32768);
    EXPECT_EQ(outside.out, "Error:-32768");
    EXPECT_EQ(outside.log, (Log{"error Unknown error"}));
}

TEST(MidiHeader, EndOfInputInsideAWordIsReportedOnceOrTwice) {
    Bytes full = header(1, 2, 96);
    // Cut inside the format word: once by the reader of the word, once for the negative format.
    Outcome inFormat = readRecorded(Bytes(full.begin(), full.begin() + 9));
    EXPECT_EQ(inFormat.result, -1);
    EXPECT_EQ(inFormat.out, "Error:-1Error:-1");
    EXPECT_EQ(inFormat.log, (Log{"error Premature end of file", "error Premature end of file"}));

    for (int cut : {11, 12, 13}) {  // inside the number of tracks, before and inside the division
        Outcome o = readRecorded(Bytes(full.begin(), full.begin() + cut));
        EXPECT_EQ(o.result, -1) << cut;
        EXPECT_EQ(o.out, "Error:-1") << cut;
        EXPECT_EQ(o.log, (Log{"error Premature end of file"})) << cut;
    }

    Outcome inLength = readRecorded(Bytes(full.begin(), full.begin() + 6));
    EXPECT_EQ(inLength.result, -1);
    EXPECT_EQ(inLength.out, "Error:-1");
}

TEST(MidiHeader, FrameBasedDivisionEndsTheReadingSilently) {
    Outcome o = readRecorded(cat({header(1, 2, 0xE728), ONE_EMPTY_TRACK, ONE_EMPTY_TRACK}));
    EXPECT_EQ(o.result, -6360);
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(o.log.empty());  // Mf_header is not called
}

TEST(MidiHeader, AnnouncedTrackCountDecidesHowManyChunksAreRead) {
    // 0 tracks: done after the header, whatever follows.
    Bytes noTracks = cat({header(1, 0, 480), text("garbage")});
    Outcome none = readRecorded(noTracks);
    EXPECT_EQ(none.result, 0);
    EXPECT_EQ(none.log, (Log{"header 1 0 480 @0"}));
    EXPECT_EQ(none.bytesRead, 14u);

    // Format 0 with 3 tracks: the count is not checked against the format.
    Outcome three = readRecorded(cat({header(0, 3, 96), ONE_EMPTY_TRACK, ONE_EMPTY_TRACK, ONE_EMPTY_TRACK}));
    EXPECT_EQ(three.result, 0);
    EXPECT_EQ(three.log, (Log{"header 0 3 96 @0", "starttrack @0", "eot @0", "starttrack @0", "eot @0", "starttrack @0",
                              "eot @0"}));

    // Bytes after the last announced track are not read.
    Bytes oneOfTwo = cat({header(1, 1, 96), ONE_EMPTY_TRACK, text("MTrk")});
    Outcome extra = readRecorded(oneOfTwo);
    EXPECT_EQ(extra.result, 0);
    EXPECT_EQ(extra.bytesRead, oneOfTwo.size() - 4);

    // More tracks announced than present.
    Outcome missing = readRecorded(cat({header(1, 2, 96), ONE_EMPTY_TRACK}));
    EXPECT_EQ(missing.result, -1);
    EXPECT_EQ(missing.out, "Error:-1");
    EXPECT_EQ(missing.log, (Log{"header 1 2 96 @0", "starttrack @0", "eot @0", "error Premature end of file"}));
}

TEST(MidiHeader, HeaderHookRefusalIsPassedUpSilently) {
    freshRecordingReader();
    midirecorder::refusingHook = "header";
    midirecorder::refusal = -77;
    Outcome o = readCaptured(cat({header(0, 1, 96), ONE_EMPTY_TRACK}));
    EXPECT_EQ(o.result, -77);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.log, (Log{"header 0 1 96 @0"}));
    EXPECT_EQ(o.bytesRead, 14u);
}
