#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>

#include "net/room_clock.h"

namespace {

constexpr int64_t MS = 1000000;
constexpr int64_t SECOND = 1000 * MS;

uint32_t stampOf(int64_t nanos) {
    return static_cast<uint32_t>(nanos / 1000);
}

// A server whose clock reads the client's plus offset, each way of an exchange delayed as given.
void exchange(int64_t sent, int64_t offset, int64_t out, int64_t back) {
    recordClockRequest(stampOf(sent), sent);
    EXPECT_TRUE(addClockReply(stampOf(sent), stampOf(sent + out + offset), sent + out + back));
}

// How far from the truth a note due 150 ms on the server's clock is placed.
double placementError(int64_t now, int64_t offset) {
    const int64_t ahead = 150 * MS;
    return static_cast<double>(localNanosOf(stampOf(now + ahead + offset), now) - now - ahead);
}

}  // namespace

TEST(RoomClock, StalledExchangesDoNotMoveTheEstimateAndTheReadingWraps) {
    resetRoomClock();
    EXPECT_FALSE(roomClockKnown());
    // The server's clock wraps its 32 bits of microseconds 3 s into the run, which starts at 1000 s.
    const int64_t offset = (int64_t{1} << 32) * 1000 - 1003 * SECOND;
    std::mt19937 random(7);
    std::normal_distribution<double> wifi(5.0, 3.0);
    std::uniform_real_distribution<double> stall(40.0, 120.0);
    auto delay = [&] {
        const double ms = random() % 50 == 0 ? stall(random) : std::max(0.5, wifi(random));
        return static_cast<int64_t>(ms * MS);
    };
    int64_t now = 1000 * SECOND;
    // The first exchange alone is the whole estimate: a late one is taken as it is.
    exchange(now, offset, 2 * MS, 120 * MS);
    EXPECT_TRUE(roomClockKnown());
    for (int i = 0; i < 200; i++, now += 250 * MS) exchange(now, offset, delay(), delay());
    // A note due 150 ms on the server's clock sounds 150 ms on here, within a millisecond.
    EXPECT_NEAR(placementError(now, offset), 0.0, 1.0 * MS);
    EXPECT_NEAR(roomClockEstimate().driftPpm, 0.0, 50.0);
}

TEST(RoomClock, AFastExchangeOlderThanTheNewestLeavesNoDriftUndefined) {
    // A fast exchange and a slow one 12 s later: two points tell no drift from noise, and the
    // fast one all but makes the estimate.
    resetRoomClock();
    exchange(0, 0, MS / 10, MS / 10);
    exchange(12 * SECOND, 0, 30 * MS, 30 * MS);
    EXPECT_EQ(roomClockEstimate().driftPpm, 0.0);
    EXPECT_NEAR(static_cast<double>(localNanosOf(12500000, 12400 * MS)), 12500.0 * MS, MS / 10.0);
    // Exactly on a flat line for 20 s: no slope and no noise is no drift, and every placement is
    // a number (0/0 would be NaN, cast to an integer).
    for (int64_t now = 13 * SECOND; now < 33 * SECOND; now += 250 * MS) exchange(now, 0, MS / 10, MS / 10);
    EXPECT_EQ(roomClockEstimate().driftPpm, 0.0);
    EXPECT_EQ(placementError(33 * SECOND, 0), 0.0);
}

TEST(RoomClock, ThreeFastExchangesAcrossAStepOfTheServersClockStartTheFitAgain) {
    // 30 s of a 0.3 ms link, then the server's clock is 20 s behind (it was suspended, or started
    // again): a single stray exchange moves nothing, the third in a row is followed at once.
    resetRoomClock();
    const int64_t before = 5 * SECOND;
    const int64_t after = before - 20 * SECOND;
    int64_t now = 100 * SECOND;
    for (; now < 130 * SECOND; now += 250 * MS) exchange(now, before, 150000, 150000 + now % 7 * 10000);
    for (int i = 1; i <= 3; i++, now += 250 * MS) {
        exchange(now, after, 200000, 150000);
        EXPECT_NEAR(placementError(now, i < 3 ? before : after), 0.0, 1.0 * MS) << i;
        // A slow exchange with the old offset (a reply held up on the way) neither resets the
        // count nor stops the step.
        if (i == 1) exchange(now + 100 * MS, before, 30 * MS, 30 * MS);
    }
    EXPECT_EQ(roomClockEstimate().exchanges, 3);
    EXPECT_EQ(roomClockEstimate().driftPpm, 0.0);
}

TEST(RoomClock, RepliesToNoRecentRequestChangeNothing) {
    resetRoomClock();
    const int64_t now = 20 * SECOND;
    for (int64_t sent = 0; sent < now; sent += 250 * MS) exchange(sent, 7 * SECOND, 150000, 150000);
    const int exchanges = roomClockEstimate().exchanges;
    const int64_t placed = localNanosOf(stampOf(now + 7 * SECOND), now);
    // A stranger's forgery echoing this very microsecond (a round trip of nothing) ...
    EXPECT_FALSE(addClockReply(stampOf(now), stampOf(now + 9 * SECOND), now));
    // ... a reply seen twice, and one to a request that 16 later ones have pushed out.
    EXPECT_FALSE(addClockReply(stampOf(now - 250 * MS), stampOf(now + 9 * SECOND), now));
    for (int i = 0; i <= 16; i++) recordClockRequest(stampOf(now + i * MS), now + i * MS);
    EXPECT_FALSE(addClockReply(stampOf(now), stampOf(now + 9 * SECOND), now + 20 * MS));
    // Neither taken in the fit nor moving where a moment is placed.
    EXPECT_EQ(roomClockEstimate().exchanges, exchanges);
    EXPECT_EQ(localNanosOf(stampOf(now + 7 * SECOND), now), placed);
}
