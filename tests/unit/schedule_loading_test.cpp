// Loading songs into the note schedule: printed lines, note times across tempo changes and tracks,
// the order of the list, and files that hold values MIDI does not allow.
#include <gtest/gtest.h>

#include <vector>

#include "midi/midifile.h"
#include "schedule/note_schedule.h"
#include "schedule_song_files.h"

using midibytes::Bytes;
using midibytes::cat;
using midibytes::endOfTrack;
using midibytes::song;
using songfiles::loadSongBytes;
using songfiles::Note;
using songfiles::noteOff;
using songfiles::noteOn;
using songfiles::scheduledNotes;
using songfiles::setTempo;

namespace {

using Notes = std::vector<Note>;

class ScheduleLoading : public testing::Test {
protected:
    void TearDown() override { freeSchedule(); }
};

TEST_F(ScheduleLoading, SmallFilePrintsItsLinesAndLeavesOneNote) {
    const Bytes file = {'M',  'T',  'h',  'd',  0,    0,    0,    6,   // header of 6 bytes:
                        0,    0,    0,    1,    0x01, 0xE0,            // format 0, one track, division 480
                        'M',  'T',  'r',  'k',  0,    0,    0,    20,  // track of 20 bytes
                        0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,      // tempo 500000
                        0x00, 0x90, 0x3C, 0x64,                        // note on 60
                        0x83, 0x60, 0x80, 0x3C, 0x40,                  // note off 480 ticks later
                        0x00, 0xFF, 0x2F, 0x00};                       // end of track
    EXPECT_EQ(loadSongBytes(file), "header: 0 1 div:480\nTempo: 500000 [4]\nlength of quarternote: 500 ms\n");
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 0, 500}}));
}

TEST_F(ScheduleLoading, QuarterNoteDropsTheMicrosecondRemainder) {
    // Two tempo lines, each printed when its event is read; times use the whole milliseconds.
    EXPECT_EQ(loadSongBytes(song(0, 480,
                                 {cat({setTempo(0, 333333), noteOn(480, 0, 60), noteOff(480, 0, 60), setTempo(0, 1999),
                                       noteOn(480, 0, 62), noteOff(480, 0, 62), endOfTrack()})})),
              "header: 0 1 div:480\n"
              "Tempo: 333333 [4]\nlength of quarternote: 333 ms\n"
              "Tempo: 1999 [4]\nlength of quarternote: 1 ms\n");
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 333, 333}, {62, 667, 1}}));
}

TEST_F(ScheduleLoading, TimesThatAreWholeMillisecondsStayWhole) {
    // At one millisecond per tick, tick 123 is 123 ms; dividing first would give 122.99... and 122.
    loadSongBytes(song(0, 120,
                       {cat({setTempo(0, 120000), noteOn(123, 0, 60), noteOff(122, 0, 60), setTempo(0, 240000),
                             noteOn(245, 0, 62), noteOff(1, 0, 62), endOfTrack()})}));
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 123, 122}, {62, 735, 2}}));
}

TEST_F(ScheduleLoading, HowNotesEnd) {
    // Velocity 0 ends a note like a note-off; a second note-on of an open key takes its place, the
    // first keeps 60 ms; a note-off without an open note changes nothing; a note never ended keeps 60.
    loadSongBytes(
        song(0, 480,
             {cat({setTempo(0, 500000), noteOn(0, 0, 60), noteOn(240, 0, 60, 0), noteOn(0, 0, 62), noteOn(480, 0, 62),
                   noteOff(480, 0, 62), noteOff(0, 0, 62), noteOff(0, 0, 70), noteOn(0, 0, 64), endOfTrack()})}));
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 0, 250}, {62, 250, 60}, {62, 750, 500}, {64, 1250, 60}}));
    // Key 64 was still open at the end; the server loop frees its record, so the table lets go of it.
    for (const NoteRecord *active : noteSchedule.activeNotes) EXPECT_EQ(active, nullptr);
}

TEST_F(ScheduleLoading, ActiveNotesAreSharedByChannelsAndTracks) {
    // Key 60 opened on channel 0 is ended on channel 5; key 62 opened in track 1 is ended in track 2.
    loadSongBytes(
        song(1, 480,
             {cat({setTempo(0, 500000), noteOn(0, 0, 60), noteOff(480, 5, 60), noteOn(0, 9, 62), endOfTrack()}),
              cat({noteOff(1440, 3, 62), endOfTrack()})}));
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 0, 500}, {62, 500, 1000}}));
}

TEST_F(ScheduleLoading, NotesOnlyInTheSecondTrackFollowTheFirstTracksTempo) {
    loadSongBytes(
        song(1, 480,
             {cat({setTempo(0, 250000), endOfTrack()}),
              cat({noteOn(0, 0, 64), noteOff(480, 0, 64), noteOn(0, 0, 65), noteOff(480, 0, 65), endOfTrack()})}));
    EXPECT_EQ(scheduledNotes(), (Notes{{64, 0, 250}, {65, 250, 250}}));
}

TEST_F(ScheduleLoading, WithoutSetTempoAQuarterNoteLastsHalfASecond) {
    // Until the first set-tempo event the tempo is 120 beats per minute, not 0 ms per quarter note.
    EXPECT_EQ(loadSongBytes(song(0, 480,
                                 {cat({noteOn(480, 0, 60), noteOff(480, 0, 60), setTempo(0, 1000000), noteOn(0, 0, 62),
                                       noteOff(480, 0, 62), endOfTrack()})})),
              "header: 0 1 div:480\nTempo: 1000000 [4]\nlength of quarternote: 1000 ms\n");
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 500, 500}, {62, 1000, 1000}}));
}

TEST_F(ScheduleLoading, TempoChangesHoldFromTheirTickOn) {
    // A later tempo does not rescale earlier times, so the duration across the change stays positive.
    loadSongBytes(song(0, 480,
                       {cat({setTempo(0, 1000000), noteOn(480, 0, 60), setTempo(480, 250000), noteOff(0, 0, 60),
                             noteOn(480, 0, 62), noteOff(480, 0, 62), endOfTrack()})}));
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 1000, 1000}, {62, 2250, 250}}));
}

TEST_F(ScheduleLoading, FormatOneTracksShareOneTempoMap) {
    // The conductor track's tempo applies to track 2, and a tempo change in track 3, read after
    // track 2, still moves the track 2 notes that come after its tick.
    loadSongBytes(
        song(1, 480,
             {cat({setTempo(0, 500000), endOfTrack()}),
              cat({noteOn(0, 0, 60), noteOff(480, 0, 60), noteOn(480, 0, 62), noteOff(480, 0, 62), endOfTrack()}),
              cat({setTempo(480, 1000000), endOfTrack()})}));
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 0, 500}, {62, 1500, 1000}}));
}

TEST_F(ScheduleLoading, OfTwoTempoChangesAtOneTickTheOneReadLastHolds) {
    loadSongBytes(song(1, 480,
                       {cat({setTempo(0, 1000000), endOfTrack()}),
                        cat({setTempo(0, 250000), noteOn(0, 0, 60), noteOff(480, 0, 60), endOfTrack()})}));
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 0, 250}}));
}

TEST_F(ScheduleLoading, FormatTwoTracksEachHaveTheirOwnTempoMap) {
    // Track 1 runs at 1000 ms per quarter note; track 2 has no set-tempo event and runs at the
    // default 500, also for the note of track 1 that its note-off ends.
    loadSongBytes(
        song(2, 480,
             {cat({setTempo(0, 1000000), noteOn(0, 0, 60), noteOff(480, 0, 60), noteOn(0, 0, 64), endOfTrack()}),
              cat({noteOn(0, 0, 62), noteOff(480, 0, 62), noteOff(960, 0, 64), endOfTrack()})}));
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 0, 1000}, {62, 0, 500}, {64, 1000, 500}}));
}

TEST_F(ScheduleLoading, TheListIsInTimeOrderAndEqualStartsKeepTheirReadingOrder) {
    loadSongBytes(song(1, 480,
                       {cat({setTempo(0, 500000), noteOn(0, 0, 60), noteOff(480, 0, 60), noteOn(480, 0, 62),
                             noteOff(480, 0, 62), endOfTrack()}),
                        cat({noteOn(0, 1, 65), noteOff(480, 1, 65), noteOn(0, 1, 64), noteOff(480, 1, 64),
                             noteOn(0, 1, 67), endOfTrack()}),
                        cat({noteOn(0, 2, 48), noteOn(960, 2, 50), endOfTrack()})}));
    EXPECT_EQ(
        scheduledNotes(),
        (Notes{
            {60, 0, 500}, {65, 0, 500}, {48, 0, 60}, {64, 500, 500}, {62, 1000, 500}, {67, 1000, 60}, {50, 1000, 60}}));
}

TEST_F(ScheduleLoading, KeysOutsideTheTableAreIgnored) {
    // 188 is 60 + 128: it must neither make a record nor end key 60.
    loadSongBytes(song(0, 480,
                       {cat({noteOn(0, 0, 60), noteOn(0, 0, 188), noteOn(0, 0, 255), noteOff(240, 0, 188),
                             noteOn(0, 0, 128, 0), noteOff(240, 0, 60), endOfTrack()})}));
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 0, 500}}));
    EXPECT_EQ(noteSchedule.division, 480.0);
}

TEST_F(ScheduleLoading, DivisionZeroPutsEveryEventAtZero) {
    EXPECT_EQ(loadSongBytes(song(0, 0,
                                 {cat({setTempo(0, 500000), noteOn(480, 0, 60), noteOff(480, 0, 60), noteOn(0, 0, 62),
                                       endOfTrack()})})),
              "header: 0 1 div:0\nTempo: 500000 [4]\nlength of quarternote: 500 ms\n");
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 0, 0}, {62, 0, 60}}));
}

TEST_F(ScheduleLoading, TimesBeyondTheSigned32BitRangeAreClamped) {
    // One tick is 16777 ms: tick 100000 still fits, tick 200000 (3.4e9 ms) does not.
    loadSongBytes(song(0, 1,
                       {cat({setTempo(0, 0xFFFFFF), noteOn(100000, 0, 60), noteOff(100000, 0, 60), noteOn(0, 0, 62),
                             noteOff(100000, 0, 62), endOfTrack()})}));
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 1677700000, 1677700000}, {62, INT32_MAX, INT32_MAX}}));
}

TEST_F(ScheduleLoading, OnlyTheSongHooksAreInstalledAndWarningsDoNotStopTheReading) {
    // An unknown meta event (type 0x09) is a warning only: the notes after it still load.
    EXPECT_EQ(loadSongBytes(
                  song(1, 96,
                       {cat({midibytes::meta(0, 0x09, {1, 2}), noteOn(0, 0, 60), noteOff(96, 0, 60), endOfTrack()})})),
              "header: 1 1 div:96\n");
    EXPECT_EQ(scheduledNotes(), (Notes{{60, 0, 500}}));
    EXPECT_NE(Mf_getc, nullptr);
    EXPECT_NE(Mf_error, nullptr);
    EXPECT_NE(Mf_header, nullptr);
    EXPECT_NE(Mf_tempo, nullptr);
    EXPECT_NE(Mf_noteon, nullptr);
    EXPECT_NE(Mf_noteoff, nullptr);
    EXPECT_NE(Mf_starttrack, nullptr);
    for (bool absent : {Mf_sysex == nullptr, Mf_pressure == nullptr, Mf_parameter == nullptr, Mf_pitchbend == nullptr,
                        Mf_program == nullptr, Mf_chanpressure == nullptr, Mf_seqnum == nullptr, Mf_text == nullptr,
                        Mf_eot == nullptr, Mf_smpte == nullptr, Mf_timesig == nullptr, Mf_keysig == nullptr,
                        Mf_seqspecific == nullptr}) {
        EXPECT_TRUE(absent);
    }
}

}  // namespace
