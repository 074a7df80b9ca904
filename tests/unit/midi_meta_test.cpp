#include <gtest/gtest.h>

#include <initializer_list>

#include "midi_harness.h"

using namespace midibytes;
using namespace midiharness;

TEST(MidiMeta, EveryMetaEventReachesItsHookWithItsValues) {
    Outcome o = readEvents(cat({meta(0, 0x00, {0x12, 0x34}), meta(0, 0x01, text("Intro")), meta(0, 0x07, {}),
                                meta(0, 0x51, {0x07, 0xA1, 0x20}), meta(0, 0x51, {0xFF, 0xFF, 0xFF}),
                                meta(0, 0x54, {0x01, 0x02, 0x03, 0x04, 0xFF}), meta(0, 0x58, {0x06, 0x03, 0x24, 0x80}),
                                meta(0, 0x59, {0xF9, 0x01}), meta(0, 0x59, {0x07, 0x00}), meta(0, 0x7F, text("seq"))}));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(eventsOf(o), (Log{"seqnum 4660 @0", "text 1 5 Intro @0", "text 7 0 <none> @0", "tempo 500000 @0",
                                "tempo 16777215 @0", "smpte 1 2 3 4 -1 @0", "timesig 6 3 36 -128 @0", "keysig -7 1 @0",
                                "keysig 7 0 @0", "seqspecific 0 3 seq @0", "eot @0"}));

    // Long data, past any first allocation the reader makes.
    std::string lyric(20000, 'a');
    lyric.back() = 'z';
    Outcome longText = readEvents(meta(0, 0x05, text(lyric)));
    EXPECT_EQ(longText.result, 0);
    EXPECT_EQ(eventsOf(longText), (Log{"text 5 20000 " + lyric + " @0", "eot @0"}));
}

TEST(MidiMeta, WrongLengthsAreRefusedEvenWithoutAHook) {
    struct Case {
        uint8_t type;
        Bytes data;
    };
    for (const Case &c : {Case{0x51, {0x07, 0xA1, 0x20, 0x00}}, Case{0x2F, {0x00}}, Case{0x00, {}},
                          Case{0x00, {1, 2, 3}}, Case{0x54, {1, 2, 3, 4}}, Case{0x58, {1, 2, 3}}, Case{0x59, {1}}}) {
        // Only Mf_error listens: the checks come before asking for the hook.
        clearMidiHooks();
        midirecorder::log.clear();
        Mf_error = [](const char *message) {
            midirecorder::log.push_back(message);
            return 0;
        };
        Bytes file = song(0, 96, {cat({meta(0, c.type, c.data), endOfTrack()})});
        Outcome o = readCaptured(file);
        EXPECT_EQ(o.result, -11) << int(c.type);
        EXPECT_EQ(o.out, "Error:-11") << int(c.type);
        EXPECT_EQ(o.log, (Log{"Illegal meta-event length"})) << int(c.type);
        // The data is read before the length is judged.
        EXPECT_EQ(o.bytesRead, file.size() - 4) << int(c.type);
    }
}

TEST(MidiMeta, KeySignatureValuesAreChecked) {
    for (const Bytes &bad : {Bytes{0x08, 0x00}, Bytes{0xF8, 0x00}, Bytes{0x00, 0x02}, Bytes{0x00, 0xFF}}) {
        Outcome o = readEvents(meta(0, 0x59, bad));
        EXPECT_EQ(o.result, -12) << int(bad[0]) << " " << int(bad[1]);
        EXPECT_EQ(o.out, "Error:-12");
        EXPECT_EQ(eventsOf(o), (Log{"error Illegal value in meta-event"}));
    }
    freshRecordingReader();
    Mf_keysig = nullptr;
    Outcome unheard = readCaptured(song(0, 96, {cat({meta(0, 0x59, {0x00, 0x02}), endOfTrack()})}));
    EXPECT_EQ(unheard.result, -12);
}

TEST(MidiMeta, UnknownMetaEventIsAWarningThatMfErrorDecides) {
    Bytes events = cat({meta(0, 0x09, text("Piano")), {0x00, 0x90, 0x3C, 0x64}});
    Outcome goOn = readEvents(events);
    EXPECT_EQ(goOn.result, 0);
    EXPECT_EQ(goOn.out, "");  // a warning prints no error line
    EXPECT_EQ(eventsOf(goOn), (Log{"error Unknown meta-event", "noteon 0 60 100 @0", "eot @0"}));

    for (uint8_t type :
         std::initializer_list<uint8_t>{0x08, 0x20, 0x2E, 0x30, 0x50, 0x52, 0x53, 0x55, 0x57, 0x5A, 0x7E, 0x80, 0xFF}) {
        Outcome o = readEvents(meta(0, type, {}));
        EXPECT_EQ(o.result, 0) << int(type);
        EXPECT_EQ(eventsOf(o), (Log{"error Unknown meta-event", "eot @0"})) << int(type);
    }

    freshRecordingReader();
    midirecorder::errorResult = -3;
    Outcome stop = readCaptured(song(0, 96, {cat({events, endOfTrack()})}));
    EXPECT_EQ(stop.result, -3);
    EXPECT_EQ(stop.out, "");
    EXPECT_EQ(eventsOf(stop), (Log{"error Unknown meta-event"}));

    freshRecordingReader();
    Mf_error = nullptr;
    Outcome unheard = readCaptured(song(0, 96, {cat({events, endOfTrack()})}));
    EXPECT_EQ(unheard.result, 0);
    EXPECT_EQ(eventsOf(unheard), (Log{"noteon 0 60 100 @0", "eot @0"}));
}

TEST(MidiMeta, DataByteUnderMetaRunningStatusIsDropped) {
    // After a meta event the running status is 0xFF: the data byte 0x05 is dropped and the
    // event is read as a meta event starting with its type.
    Outcome o = readRecorded(song(0, 96, {cat({meta(0, 0x01, text("a")), {0x00, 0x05, 0x2F, 0x00}})}));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(eventsOf(o), (Log{"text 1 1 a @0", "eot @0"}));
}

TEST(MidiMeta, MetaDataRunningPastTheTrackIsPrematureEnd) {
    // The length is judged against the track's byte count before anything is read or allocated.
    Bytes file =
        cat({header(0, 1, 96), trackWithLength(20, cat({{0x00, 0xFF, 0x01}, varLen(0x0FFFFFFF), text("abc")}))});
    Outcome o = readRecorded(file);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.out, "Error:-1");
    EXPECT_EQ(eventsOf(o), (Log{"error Premature end of file"}));
    EXPECT_EQ(o.bytesRead, file.size() - 3);

    // A track length that promises gigabytes, with data that ends early.
    Outcome huge = readRecorded(cat(
        {header(0, 1, 96), trackWithLength(0x7FFFFFF0u, cat({{0x00, 0xFF, 0x7F}, varLen(0x7FFFFF00u), text("abc")}))}));
    EXPECT_EQ(huge.result, -1);
    EXPECT_EQ(huge.out, "Error:-1");
    EXPECT_EQ(eventsOf(huge), (Log{"error Premature end of file"}));

    // A length of its own with bit 31 set is passed up silently.
    Outcome negative = readEvents(cat({{0x00, 0xFF, 0x01}, {0x88, 0x80, 0x80, 0x80, 0x00}}));
    EXPECT_EQ(negative.result, INT32_MIN);
    EXPECT_EQ(negative.out, "");
}

TEST(MidiMeta, MetaHookRefusalIsPassedUpSilently) {
    Bytes events = cat({meta(0, 0x00, {0, 1}),
                        meta(0, 0x01, text("t")),
                        meta(0, 0x51, {0, 0, 1}),
                        meta(0, 0x54, {0, 0, 0, 0, 0}),
                        meta(0, 0x58, {4, 2, 24, 8}),
                        meta(0, 0x59, {0, 0}),
                        meta(0, 0x7F, {}),
                        {0x00, 0x90, 0x3C, 0x64}});
    for (const char *hook : {"seqnum", "text", "tempo", "smpte", "timesig", "keysig", "seqspecific"}) {
        freshRecordingReader();
        midirecorder::refusingHook = hook;
        midirecorder::refusal = -9;  // the same number as a code of the reader's, yet not reported
        Outcome o = readCaptured(song(0, 96, {cat({events, endOfTrack()})}));
        EXPECT_EQ(o.result, -9) << hook;
        EXPECT_EQ(o.out, "") << hook;
        EXPECT_EQ(o.log.back().rfind(hook, 0), 0u) << hook;
    }
}
