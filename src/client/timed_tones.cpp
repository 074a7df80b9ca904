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

// A live note comes in slices, each beginning where the one before ends; a client of its version
// carries the tone on across a join this close, as one tone.
constexpr int32_t JOIN_MICROS = 2000;

// The tone last handed to the speaker, as long as the speaker may still carry it on or end it: not
// one played late, nor one it refused. Its start and end are the server's microseconds.
struct HandedTone {
    bool held;
    int16_t key;
    uint32_t startMicros;
    uint32_t endMicros;
};
HandedTone handed = {};

// A moment of the server's clock on this host's, moved earlier by the sound device's own delay.
int64_t localMoment(uint32_t serverMicros, int64_t now) {
    return localNanosOf(serverMicros, now) - runState.latencyMs * NANOS_PER_MILLI;
}

int64_t localStart(const TimedTone &tone, int64_t now) {
    return localMoment(tone.serverMicros, now);
}

uint32_t endMicrosOf(const TimedTone &tone) {
    return tone.serverMicros + static_cast<uint32_t>(tone.length) * 1000;
}

// Stamps wrap: the earlier of two is the one the other lies less than half the range after.
bool isBefore(uint32_t micros, uint32_t other) {
    return static_cast<int32_t>(micros - other) < 0;
}

bool joins(uint32_t start, uint32_t end) {
    return std::abs(static_cast<int64_t>(static_cast<int32_t>(start - end))) <= JOIN_MICROS;
}

// The milliseconds from a tone's start to a moment of the server's clock, or nothing past a length.
std::optional<int16_t> lengthUntil(const TimedTone &tone, uint32_t endMicros) {
    const int32_t millis = static_cast<int32_t>(endMicros - tone.serverMicros) / 1000;
    if (millis > INT16_MAX) return std::nullopt;
    return static_cast<int16_t>(millis);
}

// Carries on the tone of the same key that the tone begins where it ends: one still waiting, else
// the one the speaker has. False where there is none, or the speaker can no longer carry it on.
bool carriedOn(const TimedTone &tone, int64_t now) {
    if (!tone.liveSlice || runState.protocolVersion < LIVE_PROTOCOL_VERSION || tone.length <= 0) return false;
    if (carryOnWaitingTone(waiting, tone)) return true;
    const uint32_t end = endMicrosOf(tone);
    if (!handed.held || handed.key != tone.key || !joins(tone.serverMicros, handed.endMicros)) return false;
    if (!moveToneEnd(monotonicNanosOf(localMoment(end, now)))) return false;
    handed.endMicros = end;
    return true;
}

// Puts the tone among those waiting, once the room's clock is known.
void place(TimedTone tone, int64_t now) {
    const int64_t moment = localStart(tone, now);
    // A moment beyond any lead is no note of a song: the good-bye would wait for it.
    if (moment - now > (LONGEST_LEAD_MS + 1000) * NANOS_PER_MILLI) return;
    if (carriedOn(tone, now)) return;
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

bool carryOnWaitingTone(std::vector<TimedTone> &queue, const TimedTone &tone) {
    for (TimedTone &queued : queue) {
        if (queued.key != tone.key || queued.lateStart || !joins(tone.serverMicros, endMicrosOf(queued))) continue;
        const std::optional<int16_t> length = lengthUntil(queued, endMicrosOf(tone));
        if (!length) return false;
        queued.length = *length;
        return true;
    }
    return false;
}

void endWaitingTone(std::vector<TimedTone> &queue, int16_t key, uint32_t serverMicros, std::optional<uint32_t> cutEnd) {
    for (auto queued = queue.begin(); queued != queue.end();) {
        if (queued->key == key && cutEnd && joins(queued->serverMicros, *cutEnd)) {
            cutEnd = endMicrosOf(*queued);
            queued = queue.erase(queued);
            continue;
        }
        if (queued->key == key && !cutEnd && isBefore(queued->serverMicros, serverMicros) &&
            isBefore(serverMicros, endMicrosOf(*queued))) {
            cutEnd = endMicrosOf(*queued);
            queued->length = lengthUntil(*queued, serverMicros).value_or(queued->length);
        }
        ++queued;
    }
}

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

void queueTimedTone(int16_t key, int16_t length, uint32_t serverMicros, bool liveSlice) {
    if (waiting.size() + beforeTheClock.size() >= MOST_WAITING) return;
    const TimedTone tone = {key, length, serverMicros, std::nullopt, liveSlice};
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
        const int frequency = keyToFrequency(tone.key);
        handed = {!tone.lateStart && isPlayableTone(frequency, tone.length), tone.key, tone.serverMicros,
                  endMicrosOf(tone)};
        // The speaker keeps the monotonic clock, which stands still while the machine sleeps.
        beepAt(frequency, tone.length, monotonicNanosOf(start));
    }
    return -1;
}

void endTimedTone(int16_t key, uint32_t serverMicros) {
    if (!roomClockKnown()) return;
    std::optional<uint32_t> cutEnd;
    if (handed.held && handed.key == key && isBefore(handed.startMicros, serverMicros) &&
        isBefore(serverMicros, handed.endMicros)) {
        moveToneEnd(monotonicNanosOf(localMoment(serverMicros, bootNanos())));
        cutEnd = handed.endMicros;
        handed.endMicros = serverMicros;
    }
    endWaitingTone(waiting, key, serverMicros, cutEnd);
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
    handed.held = false;
    // A forgotten tone of a late run holds back none of those that follow.
    lateRun.playingUntil = 0;
}

LateTones lateTones() {
    return late;
}

void forgetLateTones() {
    late = {0, 0, 0};
}
