#include <gtest/gtest.h>

#include <climits>

#include "platform/clock.h"
#include "server/server.h"
#include "server/song_run.h"

TEST(ServerTime, TheWaitForANoteEndsAtItsMillisecondNotAWholeMillisecondLater) {
    startSongNow();
    // Due and overdue notes need no wait at all.
    EXPECT_EQ(nanosUntilSongPosition(songPosition()), 0);
    EXPECT_EQ(nanosUntilSongPosition(-1000), 0);
    EXPECT_EQ(nanosUntilSongPosition(INT_MIN), 0);
    // Now lies somewhere within a millisecond of the timer, so a note 50 ms on is due in at most
    // 50 ms; counting whole milliseconds from now would make it up to a millisecond late.
    int32_t position = songPosition();
    int64_t wait = nanosUntilSongPosition(position + 50);
    EXPECT_GT(wait, 40 * 1000000LL);
    EXPECT_LE(wait, 50 * 1000000LL);
    EXPECT_GT(nanosUntilSongPosition(INT_MAX), 0);
}

TEST(ServerTime, SumsOfSongTimesSaturate) {
    EXPECT_EQ(saturatingSum(1000, 250), 1250);
    EXPECT_EQ(saturatingSum(1000, -1250), -250);
    EXPECT_EQ(saturatingSum(INT_MAX - 5, 5), INT_MAX);
    EXPECT_EQ(saturatingSum(INT_MAX - 5, 6), INT_MAX);
    EXPECT_EQ(saturatingSum(INT_MAX, INT_MAX), INT_MAX);
    EXPECT_EQ(saturatingSum(INT_MIN, -1), INT_MIN);
    EXPECT_EQ(saturatingSum(INT_MIN + 1, INT_MAX), 0);
}
