#include <gtest/gtest.h>

#include <initializer_list>

#include "midi_harness.h"

using namespace midibytes;
using namespace midiharness;

TEST(MidiEvents, EveryChannelMessageReachesItsHook) {
    Outcome o = readEvents({0x00, 0x80, 0x01, 0x02, 0x00, 0x91, 0x03, 0x00, 0x00, 0xA2, 0x05, 0x06, 0x00,
                            0xB3, 0x07, 0x08, 0x00, 0xC4, 0x09, 0x00, 0xD5, 0x0A, 0x00, 0xE6, 0x0B, 0x0C});
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(eventsOf(o), (Log{"noteoff 0 1 2 @0", "noteon 1 3 0 @0", "pressure 2 5 6 @0", "parameter 3 7 8 @0",
                                "program 4 9 @0", "chanpressure 5 10 @0", "pitchbend 6 11 12 @0", "eot @0"}));

    // Channels 8 to 15 keep their number.
    Outcome high = readEvents({0x00, 0x98, 0x3C, 0x40, 0x00, 0xCF, 0x01, 0x00, 0xEA, 0x00, 0x40});
    EXPECT_EQ(eventsOf(high), (Log{"noteon 8 60 64 @0", "program 15 1 @0", "pitchbend 10 0 64 @0", "eot @0"}));

    // Bytes after the status are passed as read, not masked to seven bits.
    Outcome unmasked = readEvents({0x00, 0x90, 0x85, 0xFF, 0x00, 0xC0, 0x80});
    EXPECT_EQ(eventsOf(unmasked), (Log{"noteon 0 133 255 @0", "program 0 128 @0", "eot @0"}));
}

TEST(MidiEvents, RunningStatusCarriesOverEventsAndTracks) {
    Outcome same = readEvents({0x00, 0x90, 0x3C, 0x64, 0x00, 0x3E, 0x64});
    EXPECT_EQ(eventsOf(same), (Log{"noteon 0 60 100 @0", "noteon 0 62 100 @0", "eot @0"}));

    // One-byte events read one data byte each, also under running status.
    Outcome program = readEvents({0x00, 0xC1, 0x05, 0x10, 0x06, 0x00, 0xD2, 0x30, 0x00, 0x31});
    EXPECT_EQ(program.result, 0);
    EXPECT_EQ(eventsOf(program),
              (Log{"program 1 5 @0", "program 1 6 @16", "chanpressure 2 48 @16", "chanpressure 2 49 @16", "eot @16"}));

    // The second track begins with a data byte under the first one's last channel status. The
    // first track ends with that status, not with its end-of-track event.
    Outcome tracks = readRecorded(
        song(1, 96, {cat({endOfTrack(), {0x00, 0x95, 0x3C, 0x64}}), cat({{0x00, 0x40, 0x00}, endOfTrack()})}));
    EXPECT_EQ(tracks.result, 0);
    EXPECT_EQ(eventsOf(tracks), (Log{"eot @0", "noteon 5 60 100 @0", "noteon 5 64 0 @0", "eot @0"}));
}

TEST(MidiEvents, DataByteWithoutAnyStatusIsRefused) {
    Bytes file = song(0, 96, {{0x00, 0x3C, 0x64, 0x00, 0x90}});
    Outcome o = readRecorded(file);
    EXPECT_EQ(o.result, -10);
    EXPECT_EQ(o.out, "Error:-10");
    EXPECT_EQ(o.log, (Log{"header 0 1 96 @0", "starttrack @0", "error Illegal status byte"}));
    EXPECT_EQ(o.bytesRead, file.size() - 2);  // one more byte read after the data byte
}

TEST(MidiEvents, SystemMessagesAreRefused) {
    Outcome complete = readEvents({0x00, 0xF0, 0x03, 0x43, 0x12, 0xF7});
    EXPECT_EQ(complete.result, -8);
    EXPECT_EQ(complete.err, "Sorry, no complete SysEx messages\n");
    EXPECT_EQ(complete.out, "Error:-8");
    EXPECT_EQ(eventsOf(complete), (Log{"error Illegal system-exclusive message type"}));
    EXPECT_EQ(complete.bytesRead, 22u + 2u);  // none of the message's bytes

    Outcome incomplete = readEvents({0x00, 0xF7, 0x01, 0x43});
    EXPECT_EQ(incomplete.result, -8);
    EXPECT_EQ(incomplete.err, "Sorry, no incomplete SysEx messages\n");
    EXPECT_EQ(incomplete.out, "Error:-8");

    // Without Mf_error the complaint still goes to standard error, the error line does not.
    freshRecordingReader();
    Mf_error = nullptr;
    Outcome quiet = readCaptured(song(0, 96, {{0x00, 0xF0, 0x00, 0xF7}}));
    EXPECT_EQ(quiet.result, -8);
    EXPECT_EQ(quiet.err, "Sorry, no complete SysEx messages\n");
    EXPECT_EQ(quiet.out, "");

    for (uint8_t status : std::initializer_list<uint8_t>{0xF1, 0xF2, 0xF8, 0xFE}) {
        Outcome other = readEvents({0x00, status, 0x00});
        EXPECT_EQ(other.result, -8) << int(status);
        EXPECT_EQ(other.err, "") << int(status);
        EXPECT_EQ(other.out, "Error:-8") << int(status);
    }

    // A system status becomes the running status too: a data byte after it is refused the same way.
    Outcome running = readRecorded(song(1, 96, {{0x00, 0xF1}, {0x00, 0x10}}));
    EXPECT_EQ(running.result, -8);
}

TEST(MidiEvents, TimeAdvancesWhetherOrNotAHookListens) {
    freshRecordingReader();
    Mf_parameter = nullptr;
    Mf_text = nullptr;
    Outcome o = readCaptured(
        song(0, 96,
             {cat({{0x60, 0xB0, 0x07, 0x64}, meta(4, 0x01, text("x")), {0x00, 0x90, 0x3C, 0x64}, endOfTrack(2)})}));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(eventsOf(o), (Log{"noteon 0 60 100 @100", "eot @102"}));
}

TEST(MidiEvents, ChannelHookRefusalIsPassedUpSilentlyAndStopsTheReading) {
    for (const char *hook : {"noteoff", "noteon", "pressure", "parameter", "program", "chanpressure", "pitchbend"}) {
        freshRecordingReader();
        midirecorder::refusingHook = hook;
        midirecorder::refusal = -42;
        Outcome o = readCaptured(song(0, 96,
                                      {cat({{0x00, 0x80, 1, 2,    0x00, 0x90, 3,    4,    0x00, 0xA0, 5,    6,  0x00,
                                             0xB0, 7,    8, 0x00, 0xC0, 9,    0x00, 0xD0, 10,   0x00, 0xE0, 11, 12},
                                            endOfTrack()})}));
        EXPECT_EQ(o.result, -42) << hook;
        EXPECT_EQ(o.out, "") << hook;
        EXPECT_EQ(o.log.back().rfind(hook, 0), 0u) << hook;  // nothing after the refusing hook
    }
}
