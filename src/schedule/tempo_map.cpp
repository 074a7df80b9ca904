#include "schedule/tempo_map.h"

#include <algorithm>
#include <cstdlib>

#include "schedule/note_schedule.h"

namespace {

struct TempoChange {
    int32_t tick;
    int32_t msPerQuarter;
    double startMs;  // time of the change's tick
};

TempoChange *changes = nullptr;
size_t changeCount = 0;
size_t changeCapacity = 0;

const TempoChange DEFAULT_TEMPO = {0, DEFAULT_MS_PER_QUARTER, 0.0};

// Milliseconds from a change's tick to `tick` under its tempo. Multiplied before dividing: the
// product of two integers is exact in a double, so a time that is a whole millisecond stays whole
// and is not truncated to the millisecond before.
double msSinceChange(const TempoChange &change, int32_t tick) {
    if (noteSchedule.division == 0) return 0.0;
    double ticks = static_cast<double>(tick) - static_cast<double>(change.tick);
    return ticks * change.msPerQuarter / noteSchedule.division;
}

// The change in force at a tick: the last one at or before it, or the default tempo.
const TempoChange &changeAt(int32_t tick) {
    const TempoChange *after =
        std::upper_bound(changes, changes + changeCount, tick,
                         [](int32_t value, const TempoChange &change) { return value < change.tick; });
    return after == changes ? DEFAULT_TEMPO : after[-1];
}

}  // namespace

void restartTempoMap() {
    changeCount = 0;
}

bool addTempoChange(int32_t tick, int32_t msPerQuarter) {
    if (changeCount == changeCapacity) {
        size_t capacity = changeCapacity == 0 ? 16 : changeCapacity * 2;
        void *grown = realloc(changes, capacity * sizeof(TempoChange));
        if (grown == nullptr) return false;
        changes = static_cast<TempoChange *>(grown);
        changeCapacity = capacity;
    }
    const TempoChange &previous = changeCount == 0 ? DEFAULT_TEMPO : changes[changeCount - 1];
    changes[changeCount++] = {tick, msPerQuarter, previous.startMs + msSinceChange(previous, tick)};
    return true;
}

void orderTempoMap() {
    std::stable_sort(changes, changes + changeCount,
                     [](const TempoChange &a, const TempoChange &b) { return a.tick < b.tick; });
    const TempoChange *previous = &DEFAULT_TEMPO;
    for (size_t i = 0; i < changeCount; ++i) {
        changes[i].startMs = previous->startMs + msSinceChange(*previous, changes[i].tick);
        previous = &changes[i];
    }
}

double tickToMs(int32_t tick) {
    const TempoChange &change = changeAt(tick);
    return change.startMs + msSinceChange(change, tick);
}

void freeTempoMap() {
    free(changes);
    changes = nullptr;
    changeCount = 0;
    changeCapacity = 0;
}

int32_t wholeMs(double ms) {
    if (ms >= 2147483647.0) return INT32_MAX;
    if (ms <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(ms);
}
