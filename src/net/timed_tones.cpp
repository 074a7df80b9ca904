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
std::vector<TimedTone> waiting;
LateTones late = {0, 0};

// Where the tone sounds on this host's clock, moved earlier by the sound device's own delay.
int64_t localStart(const TimedTone &tone, int64_t now) {
    return localNanosOf(tone.serverMicros, now) - runState.latencyMs * NANOS_PER_MILLI;
}

}  // namespace

void queueTimedTone(int16_t key, int16_t length, uint32_t serverMicros) {
    const TimedTone tone = {key, length, serverMicros};
    const int64_t now = monotonicNanos();
    // A moment beyond any lead is no note of a song: the good-bye would wait for it.
    if (waiting.size() >= MOST_WAITING ||
        (roomClockKnown() && localStart(tone, now) - now > (LONGEST_LEAD_MS + 1000) * NANOS_PER_MILLI)) {
        return;
    }
    // One that came after its moment is played for what is left of it, if anything. Before the
    // clock is known a tone is played as it comes.
    const int64_t lateMs = roomClockKnown() ? (now - localStart(tone, now)) / NANOS_PER_MILLI : 0;
    if (lateMs > 0) (lateMs >= length ? late.missed : late.shortened)++;
    // In the order they sound: a link may reorder them.
    auto later = std::find_if(waiting.begin(), waiting.end(), [&](const TimedTone &queued) {
        return static_cast<int32_t>(queued.serverMicros - serverMicros) > 0;
    });
    waiting.insert(later, tone);
}

int64_t playNearTimedTones() {
    while (!waiting.empty()) {
        const int64_t now = monotonicNanos();
        const TimedTone tone = waiting.front();
        const int64_t start = roomClockKnown() ? localStart(tone, now) : now;
        const int64_t untilNear = start - TIMED_TONE_HAND_OVER_NANOS - now;
        if (untilNear > 0) return untilNear;
        waiting.erase(waiting.begin());
        beepAt(keyToFrequency(tone.key), tone.length, start);
    }
    return -1;
}

bool timedTonesWaiting() {
    return !waiting.empty();
}

LateTones lateTones() {
    return late;
}
