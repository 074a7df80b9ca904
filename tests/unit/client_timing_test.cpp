#include <climits>

#include <gtest/gtest.h>

#include "net/client.h"
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
