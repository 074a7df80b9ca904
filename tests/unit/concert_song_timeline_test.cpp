#include <gtest/gtest.h>

#include "concert/song_timeline.h"

namespace {
constexpr int64_t MS = 1000000;
}

TEST(SongTimeline, APauseHoldsTheSongAndAResumeALeadLaterGoesOnFromThereWithoutAJump) {
    SongTimeline line = timelineFrom(1000 * MS, 0);
    EXPECT_EQ(songMsAt(line, 900 * MS), -100);  // before the start it leads up to it
    pauseTimeline(line, 3500 * MS);
    EXPECT_EQ(songMsAt(line, 9000 * MS), 2500);
    EXPECT_EQ(momentOfSongMs(line, 2600), INT64_MAX);
    resumeTimeline(line, 10150 * MS);
    EXPECT_EQ(songMsAt(line, 10000 * MS), 2350);
    EXPECT_EQ(songMsAt(line, 10150 * MS), 2500);
    EXPECT_EQ(momentOfSongMs(line, 2600), 10250 * MS);
    moveTimeline(line, 11000 * MS, 0);
    EXPECT_EQ(songMsAt(line, 11001 * MS), 1);
}

TEST(SongTimeline, ATempoChangeWaitsForItsMomentAndBothWaysAgreeAcrossIt) {
    SongTimeline line = timelineFrom(0, 0);
    // Asked at 1 s, it takes effect at 1.15 s, when the notes given ahead have sounded.
    setTimelineTempo(line, 1000 * MS, 1150 * MS, 50);
    EXPECT_EQ(songMsAt(line, 1150 * MS), 1150);
    EXPECT_EQ(songMsAt(line, 1350 * MS), 1250);
    EXPECT_EQ(tempoAtSongMs(line, 1149), 100);
    EXPECT_EQ(tempoAtSongMs(line, 1150), 50);
    for (int32_t ms : {500, 1150, 1151, 2000}) EXPECT_EQ(songMsAt(line, momentOfSongMs(line, ms)), ms) << ms;
    EXPECT_EQ(momentOfSongMs(line, 2000), 2850 * MS);
    // A second change before the first's moment keeps that moment; a pause takes it at once.
    setTimelineTempo(line, 1100 * MS, 1300 * MS, 400);
    EXPECT_EQ(songMsAt(line, 1250 * MS), 1150 + 400);
    pauseTimeline(line, 1100 * MS);
    resumeTimeline(line, 2000 * MS);
    EXPECT_EQ(songMsAt(line, 2001 * MS), 1100 + 4);
    setTimelineTempo(line, 3000 * MS, 3000 * MS, 1000);
    EXPECT_EQ(tempoAtSongMs(line, 0), FASTEST_TEMPO);
}
