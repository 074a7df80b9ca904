#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>

#include "net/room_clock.h"

namespace {

constexpr int64_t MS = 1000000;

// A server whose clock reads the client's plus offset, each way of an exchange delayed as given.
void exchange(int64_t sent, int64_t offset, int64_t out, int64_t back) {
    const int64_t serverNanos = sent + out + offset;
    addClockExchange(sent, static_cast<uint32_t>(serverNanos / 1000), sent + out + back);
}

}  // namespace

TEST(RoomClock, StalledExchangesDoNotMoveTheEstimateAndTheReadingWraps) {
    resetRoomClock();
    EXPECT_FALSE(roomClockKnown());
    // The server's clock wraps its 32 bits of microseconds 3 s into the run, which starts at 1000 s.
    const int64_t offset = (int64_t{1} << 32) * 1000 - 1003000 * MS;
    std::mt19937 random(7);
    std::normal_distribution<double> wifi(5.0, 3.0);
    std::uniform_real_distribution<double> stall(40.0, 120.0);
    auto delay = [&] {
        const double ms = random() % 50 == 0 ? stall(random) : std::max(0.5, wifi(random));
        return static_cast<int64_t>(ms * MS);
    };
    int64_t now = 1000 * MS;
    // The first exchange alone is the whole estimate: a late one is taken as it is.
    exchange(now, offset, 2 * MS, 120 * MS);
    EXPECT_TRUE(roomClockKnown());
    for (int i = 0; i < 200; i++, now += 250 * MS) exchange(now, offset, delay(), delay());
    // A note due 150 ms on the server's clock sounds 150 ms on here, within a millisecond.
    const auto due = static_cast<uint32_t>((now + 150 * MS + offset) / 1000);
    EXPECT_NEAR(static_cast<double>(localNanosOf(due, now) - now), 150.0 * MS, 1.0 * MS);
    EXPECT_NEAR(roomClockEstimate().driftPpm, 0.0, 50.0);
}

TEST(RoomClock, AFastExchangeOlderThanTheNewestLeavesNoDriftUndefined) {
    // A fast exchange and a slow one 12 s later: two points tell no drift from noise, and the
    // fast one all but makes the estimate.
    resetRoomClock();
    exchange(0, 0, MS / 10, MS / 10);
    exchange(12000 * MS, 0, 30 * MS, 30 * MS);
    EXPECT_EQ(roomClockEstimate().driftPpm, 0.0);
    EXPECT_NEAR(static_cast<double>(localNanosOf(12500000, 12400 * MS)), 12500.0 * MS, MS / 10.0);
}
