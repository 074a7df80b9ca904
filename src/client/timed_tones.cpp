#include "client/timed_tones.h"

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "client/client.h"
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
    std::optional<int64_t> lateStart;  // a tone played late and whole starts there, on the boot clock
};

// A song gives a client one note at a time, a lead ahead: a few wait at most. A server that sends
// more is not heard beyond these.
constexpr size_t MOST_WAITING = 256;
std::vector<TimedTone> waiting;         // placed on the room's clock, in the order they sound
std::vector<TimedTone> beforeTheClock;  // came before the room's clock was known, as they came
LateTones late = {0, 0, 0};
LateRun lateRun = {};
// Said once a run, however many songs play late.
bool toldLeadTooShort = false;

// Four of the last eight notes late tell a link slower than the lead from Wi-Fi's held datagrams
// (2 % of them: four of eight come about once in 200,000 notes).
constexpr size_t RECENT_NOTES = 8;
constexpr size_t LATE_OF_RECENT = 4;

// Where the tone sounds on this host's clock, moved earlier by the sound device's own delay.
int64_t localStart(const TimedTone &tone, int64_t now) {
    return localNanosOf(tone.serverMicros, now) - runState.latencyMs * NANOS_PER_MILLI;
}

// Puts the tone among those waiting, once the room's clock is known.
void place(TimedTone tone, int64_t now) {
    const int64_t moment = localStart(tone, now);
    // A moment beyond any lead is no note of a song: the good-bye would wait for it.
    if (moment - now > (LONGEST_LEAD_MS + 1000) * NANOS_PER_MILLI) return;
    const int64_t lateMs = (now - moment) / NANOS_PER_MILLI;
    tone.lateStart = lateStart(lateRun, moment, now, tone.length);
    if (tone.lateStart) late.playedLate++;
    if (tone.lateStart && !toldLeadTooShort) {
        toldLeadTooShort = true;
        fprintf(stderr,
                "Notes come %d ms after their moment: the server's --lead is too short for this link; "
                "playing them late.\n",
                static_cast<int>(lateMs));
    }
    // One that came after its moment otherwise is played for what is left of it, if anything.
    if (!tone.lateStart && lateMs > 0) (lateMs >= tone.length ? late.missed : late.shortened)++;
    // In the order they sound: a link may reorder them. A tone played late sounds after all others.
    auto later = std::find_if(waiting.begin(), waiting.end(), [&](const TimedTone &queued) {
        return static_cast<int32_t>(queued.serverMicros - tone.serverMicros) > 0;
    });
    waiting.insert(tone.lateStart ? waiting.end() : later, tone);
}

}  // namespace

std::optional<int64_t> lateStart(LateRun &run, int64_t moment, int64_t arrival, int lengthMs) {
    const int64_t lateness = arrival - moment;
    run.recent = static_cast<uint8_t>(run.recent << 1 | (lateness > 0 ? 1 : 0));
    if (std::bitset<RECENT_NOTES>(run.recent).count() < LATE_OF_RECENT) {
        run.delayNanos = 0;
        return std::nullopt;
    }
    if (lateness <= 0) return std::nullopt;
    // Handed to the speaker as long before it sounds as a tone on time, so its start is not cut.
    const int64_t delay = lateness + TIMED_TONE_HAND_OVER_NANOS;
    // The run's delay follows the link only where it moves by more than that: a note read late
    // because the tone before held the client (the PC speaker plays to the end) pushes nothing on.
    if (run.delayNanos == 0 || std::llabs(delay - run.delayNanos) > TIMED_TONE_HAND_OVER_NANOS) {
        run.delayNanos = delay;
    }
    // One tone at a time, in the order they came, should the link reorder them.
    const int64_t start = std::max(moment + run.delayNanos, run.playingUntil);
    run.playingUntil = start + lengthMs * NANOS_PER_MILLI;
    return start;
}

void queueTimedTone(int16_t key, int16_t length, uint32_t serverMicros) {
    if (waiting.size() + beforeTheClock.size() >= MOST_WAITING) return;
    const TimedTone tone = {key, length, serverMicros, std::nullopt};
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
        const int64_t start = tone.lateStart.value_or(localStart(tone, now));
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

void forgetTimedTones() {
    waiting.clear();
    beforeTheClock.clear();
    // A forgotten tone of a late run holds back none of those that follow.
    lateRun.playingUntil = 0;
}

LateTones lateTones() {
    return late;
}

void forgetLateTones() {
    late = {0, 0, 0};
}
