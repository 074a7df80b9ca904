#include <climits>

#include <gtest/gtest.h>

#include "net/client.h"
#include "net/timed_tones.h"
#include "platform/clock.h"

TEST(ClientTiming, WaitsUntilTheNextRetryOrTheDeadline) {
    // A retry is due once the clock is strictly past the retry time: one millisecond after it.
    EXPECT_EQ(clientIdleMs(0, false, 1000, 60000), 1001);
    EXPECT_EQ(clientIdleMs(1000, false, 1000, 60000), 1);
    EXPECT_EQ(clientIdleMs(1001, false, 1000, 60000), 0);
    EXPECT_EQ(clientIdleMs(5000, false, 1000, 60000), 0);
    // Connected clients no longer retry: only the deadline counts.
    EXPECT_EQ(clientIdleMs(5000, true, 1000, 60000), 55000);
    EXPECT_EQ(clientIdleMs(59999, false, 60500, 60000), 1);
    EXPECT_EQ(clientIdleMs(60000, true, 0, 60000), 0);
    EXPECT_EQ(clientIdleMs(70000, true, 0, 60000), 0);
}

TEST(ClientTiming, SurvivesTheClockWrapping) {
    // After 24.8 days the signed clock wraps; a deadline set just before lies "below" now.
    const int32_t now = INT_MAX - 10;
    const int32_t deadline = INT_MIN + 59989;  // now + 60000, wrapped
    EXPECT_EQ(msUntil(deadline, now), 60000);
    EXPECT_EQ(clientIdleMs(now, true, 0, deadline), 60000);
    EXPECT_EQ(clientIdleMs(now, false, INT_MAX, deadline), 11);
    EXPECT_EQ(clientIdleMs(INT_MAX, false, INT_MAX, deadline), 1);
    EXPECT_EQ(clientIdleMs(INT_MIN + 5, false, INT_MAX, deadline), 0);
    EXPECT_LT(msUntil(now, deadline), 0);
}

TEST(ClientTiming, ARunOfLateNotesPlaysLateAndWholeARareLateNoteAtItsMoment) {
    constexpr int64_t MS = 1000000;
    LateRun run = {};
    int64_t moment = 0;
    // Wi-Fi holds one note in ten past its moment: each is left to its moment, to be shortened.
    for (int i = 0; i < 40; i++, moment += 250 * MS) {
        EXPECT_FALSE(lateStart(run, moment, moment + (i % 10 == 0 ? 20 : -150) * MS, 200));
    }
    // A link 450 to 490 ms slower than the lead: from the fourth note on, each plays whole, 530 ms
    // after its moment (80 ms after the first came), as far apart as the moments.
    for (int i = 0; i < 3; i++, moment += 250 * MS) EXPECT_FALSE(lateStart(run, moment, moment + 450 * MS, 200));
    for (int i = 0; i < 10; i++, moment += 250 * MS) {
        EXPECT_EQ(lateStart(run, moment, moment + (450 + i % 3 * 20) * MS, 200), moment + 530 * MS);
    }
    // One that overlaps the tone before waits for its end; a link 300 ms slower moves the run.
    EXPECT_EQ(lateStart(run, moment - 150 * MS, moment, 200), moment - 250 * MS + 730 * MS);
    EXPECT_EQ(lateStart(run, moment, moment + 750 * MS, 200), moment + 830 * MS);
    // The link recovers: notes on time play at their moment, and a late one is rare again.
    for (int i = 0; i < 5; i++, moment += 250 * MS) EXPECT_FALSE(lateStart(run, moment, moment - 150 * MS, 200));
    EXPECT_FALSE(lateStart(run, moment, moment + 450 * MS, 200));
}
