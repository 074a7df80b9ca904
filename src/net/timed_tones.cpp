#include "net/timed_tones.h"

#include <algorithm>
#include <vector>

#include "net/client.h"
#include "net/protocol.h"
#include "net/room_clock.h"
#include "platform/clock.h"
#include "platform/speaker.h"
#include "shell/run_state.h"

namespace {

struct TimedTone {
    int16_t key;
    int16_t length;
    uint32_t serverMicros;
};

// A song gives a client one note at a time, a lead ahead: a few wait at most. A server that sends
// more is not heard beyond these.
constexpr size_t MOST_WAITING = 256;
std::vector<TimedTone> waiting;         // placed on the room's clock, in the order they sound
std::vector<TimedTone> beforeTheClock;  // came before the room's clock was known, as they came
LateTones late = {0, 0};

// Where the tone sounds on this host's clock, moved earlier by the sound device's own delay.
int64_t localStart(const TimedTone &tone, int64_t now) {
    return localNanosOf(tone.serverMicros, now) - runState.latencyMs * NANOS_PER_MILLI;
}

// Puts the tone among those waiting, once the room's clock is known.
void place(const TimedTone &tone, int64_t now) {
    // A moment beyond any lead is no note of a song: the good-bye would wait for it.
    if (localStart(tone, now) - now > (LONGEST_LEAD_MS + 1000) * NANOS_PER_MILLI) return;
    // One that came after its moment is played for what is left of it, if anything.
    const int64_t lateMs = (now - localStart(tone, now)) / NANOS_PER_MILLI;
    if (lateMs > 0) (lateMs >= tone.length ? late.missed : late.shortened)++;
    // In the order they sound: a link may reorder them.
    auto later = std::find_if(waiting.begin(), waiting.end(), [&](const TimedTone &queued) {
        return static_cast<int32_t>(queued.serverMicros - tone.serverMicros) > 0;
    });
    waiting.insert(later, tone);
}

}  // namespace

void queueTimedTone(int16_t key, int16_t length, uint32_t serverMicros) {
    if (waiting.size() + beforeTheClock.size() >= MOST_WAITING) return;
    const TimedTone tone = {key, length, serverMicros};
    if (roomClockKnown()) {
        place(tone, bootNanos());
    } else {
        beforeTheClock.push_back(tone);
    }
}

int64_t playNearTimedTones() {
    if (!roomClockKnown()) return -1;
    for (const TimedTone &tone : beforeTheClock) place(tone, bootNanos());
    beforeTheClock.clear();
    while (!waiting.empty()) {
        const int64_t now = bootNanos();
        const TimedTone tone = waiting.front();
        const int64_t start = localStart(tone, now);
        const int64_t untilNear = start - TIMED_TONE_HAND_OVER_NANOS - now;
        if (untilNear > 0) return untilNear;
        waiting.erase(waiting.begin());
        // The speaker keeps the monotonic clock, which stands still while the machine sleeps.
        beepAt(keyToFrequency(tone.key), tone.length, monotonicNanosOf(start));
    }
    return -1;
}

bool timedTonesWaiting() {
    return !waiting.empty() || !beforeTheClock.empty();
}

void missTonesWithoutClock() {
    if (roomClockKnown()) return;
    late.missed += static_cast<int>(beforeTheClock.size());
    beforeTheClock.clear();
}

LateTones lateTones() {
    return late;
}
