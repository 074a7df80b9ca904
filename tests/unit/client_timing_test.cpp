#include <climits>

#include <gtest/gtest.h>

#include <cstring>

#include "client/client.h"
#include "client/timed_tones.h"
#include "net/protocol.h"
#include "net/room_clock.h"
#include "platform/clock.h"
#include "shell/run_state.h"

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
    LateRun run = {};
    int64_t moment = 0;
    // How long after its moment the next note (200 ms, 250 ms on) plays, coming lateMs late; -1: at its moment.
    auto delayOf = [&](int lateMs) {
        moment += 250 * NANOS_PER_MILLI;
        const std::optional<int64_t> start = lateStart(run, moment, moment + lateMs * NANOS_PER_MILLI, 200);
        return start ? (*start - moment) / NANOS_PER_MILLI : -1;
    };
    // Wi-Fi holds one note in ten: each is left to its moment. Over a link 450 to 490 ms slower than
    // the lead, from the fourth note on each plays whole 80 ms after the run's first came. Then the
    // link recovers: notes play at their moment, and a late one is rare again.
    for (int i = 0; i < 40; i++) EXPECT_EQ(delayOf(i % 10 == 0 ? 20 : -150), -1);
    for (int i = 0; i < 13; i++) EXPECT_EQ(delayOf(450 + i % 3 * 20), i < 3 ? -1 : 530) << i;
    moment -= 150 * NANOS_PER_MILLI;  // one that overlaps the tone before waits for its end
    EXPECT_EQ(delayOf(450), 630);
    for (int i = 0; i < 6; i++) EXPECT_EQ(delayOf(i < 5 ? -150 : 450), -1);
}

TEST(ClientConcert, ASilenceForgetsTheTonesGivenAheadAndASongsEndStartsTheCountAfresh) {
    auto hear = [](const Message &message) {
        uint8_t buffer[CLIENT_RECEIVE_BUFFER] = {};
        memcpy(buffer, message.bytes, static_cast<size_t>(message.length));
        actOnServerDatagram(buffer);
    };
    resetRoomClock();
    recordClockRequest(1, bootNanos());
    ASSERT_TRUE(addClockReply(1, 5000000, bootNanos()));
    // A client of version 2 never takes the concert's kinds: the tones still wait, the count goes on.
    for (int version : {CLOCK_PROTOCOL_VERSION, CONCERT_PROTOCOL_VERSION}) {
        runState.protocolVersion = version;
        queueTimedTone(69, 200, 7000000, false);  // 2 s on the server's clock
        queueTimedTone(69, 200, 4000000, false);  // 1 s over: missed
        hear(silenceMessage());
        EXPECT_EQ(timedTonesWaiting(), version == CLOCK_PROTOCOL_VERSION) << version;
        EXPECT_EQ(lateTones().missed, 1) << version;  // a forgotten tone is not missed
        hear(songEndMessage(1));
        EXPECT_EQ(lateTones().missed, version == CLOCK_PROTOCOL_VERSION ? 1 : 0) << version;
        forgetTimedTones();
        forgetLateTones();
    }
}

TEST(ClientLive, ASliceCarriesItsKeysToneOnAndANoteOffEndsItWithWhatCarriesItOn) {
    const uint32_t t = 0xFFFFF000u;  // the server's clock wraps in the middle
    auto tone = [](int16_t key, int16_t length, uint32_t start) { return TimedTone{key, length, start, std::nullopt}; };
    std::vector<TimedTone> queue = {tone(69, 200, t), tone(72, 200, t + 200000)};
    // Within 2 ms of the end of its key's tone a slice carries it on; 2.5 ms off, or another key's, not.
    EXPECT_TRUE(carryOnWaitingTone(queue, tone(69, 200, t + 201500)));
    EXPECT_EQ(queue[0].length, 401);
    EXPECT_FALSE(carryOnWaitingTone(queue, tone(69, 200, t + 403500)));
    EXPECT_FALSE(carryOnWaitingTone(queue, tone(70, 200, t + 401000)));
    queue[1].lateStart = 0;  // one played late and whole is not carried on
    EXPECT_FALSE(carryOnWaitingTone(queue, tone(72, 200, t + 400000)));
    std::vector<TimedTone> longest = {tone(69, 32700, t)};
    EXPECT_FALSE(carryOnWaitingTone(longest, tone(69, 200, t + 32700000)));
    EXPECT_EQ(longest[0].length, 32700);

    // The end cuts the tone across it, drops a slice joined to it apart, and leaves the key's next note.
    queue = {tone(69, 200, t), tone(70, 200, t + 100000), tone(69, 200, t + 201000), tone(69, 200, t + 600000)};
    endWaitingTone(queue, 69, t + 50000, std::nullopt);
    ASSERT_EQ(queue.size(), 3U);
    EXPECT_EQ(queue[0].length, 50);
    EXPECT_EQ(queue[1].key, 70);
    EXPECT_EQ(queue[2].serverMicros, t + 600000);
    // A stray end changes nothing: another key, or after the tone.
    endWaitingTone(queue, 71, t + 120000, std::nullopt);
    endWaitingTone(queue, 69, t + 100000, std::nullopt);
    EXPECT_EQ(queue.size(), 3U);
    EXPECT_EQ(queue[0].length, 50);
    // The speaker's tone was cut: a slice carrying it on goes, the key's tone after a gap stays.
    endWaitingTone(queue, 69, t + 300000, t + 400000);
    EXPECT_EQ(queue.size(), 3U);
    endWaitingTone(queue, 69, t + 500000, t + 600000);
    ASSERT_EQ(queue.size(), 2U);
    EXPECT_EQ(queue[0].length, 50);
}
