#include "concert/song_timeline.h"

#include <algorithm>
#include <climits>

namespace {
constexpr int64_t NANOS_PER_MS = 1000000;

int64_t floorDiv(int64_t a, int64_t b) {
    const int64_t quotient = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? quotient - 1 : quotient;
}

// Song time over wall time; four times a span of months still fits in 64 bits.
int64_t songSpan(int64_t wallNanos, int percent) {
    return floorDiv(wallNanos * percent, ORIGINAL_TEMPO);
}

// The wall time the song takes to move songNanos, rounded up.
int64_t wallSpan(int64_t songNanos, int percent) {
    return -floorDiv(-songNanos * ORIGINAL_TEMPO, percent);
}

// The line in effect now, ignoring a change to come.
int64_t onLine(const SongTimeline &timeline, int64_t nanos) {
    if (timeline.paused) return timeline.anchorSongNanos;
    return timeline.anchorSongNanos + songSpan(nanos - timeline.anchorNanos, timeline.percent);
}

// Makes a change whose moment has come the line.
void settle(SongTimeline &timeline, int64_t nanos) {
    if (timeline.changeNanos == NO_CHANGE || nanos < timeline.changeNanos) return;
    timeline.anchorSongNanos = onLine(timeline, timeline.changeNanos);
    timeline.anchorNanos = timeline.changeNanos;
    timeline.percent = timeline.changePercent;
    timeline.changeNanos = NO_CHANGE;
}

// The song stands where it is at the moment and from there moves at percent, any change to come
// forgotten.
void restartLine(SongTimeline &timeline, int64_t nanos, int percent) {
    settle(timeline, nanos);
    timeline.anchorSongNanos = onLine(timeline, nanos);
    timeline.anchorNanos = nanos;
    timeline.percent = percent;
    timeline.changeNanos = NO_CHANGE;
}
}  // namespace

SongTimeline timelineFrom(int64_t nanos, int32_t songMs) {
    return {nanos, static_cast<int64_t>(songMs) * NANOS_PER_MS, ORIGINAL_TEMPO, false, NO_CHANGE, ORIGINAL_TEMPO};
}

int64_t songNanosAt(const SongTimeline &timeline, int64_t nanos) {
    if (timeline.changeNanos == NO_CHANGE || nanos < timeline.changeNanos) return onLine(timeline, nanos);
    return onLine(timeline, timeline.changeNanos) + songSpan(nanos - timeline.changeNanos, timeline.changePercent);
}

int32_t songMsAt(const SongTimeline &timeline, int64_t nanos) {
    const int64_t ms = floorDiv(songNanosAt(timeline, nanos), NANOS_PER_MS);
    return static_cast<int32_t>(std::clamp<int64_t>(ms, INT32_MIN, INT32_MAX));
}

int64_t momentOfSongMs(const SongTimeline &timeline, int32_t songMs) {
    const int64_t target = static_cast<int64_t>(songMs) * NANOS_PER_MS;
    if (timeline.paused) return target <= timeline.anchorSongNanos ? timeline.anchorNanos : INT64_MAX;
    if (timeline.changeNanos != NO_CHANGE) {
        const int64_t atChange = onLine(timeline, timeline.changeNanos);
        if (target > atChange) return timeline.changeNanos + wallSpan(target - atChange, timeline.changePercent);
    }
    return timeline.anchorNanos + wallSpan(target - timeline.anchorSongNanos, timeline.percent);
}

int tempoAtSongMs(const SongTimeline &timeline, int32_t songMs) {
    if (timeline.changeNanos == NO_CHANGE || timeline.paused) return timeline.percent;
    const int64_t atChange = onLine(timeline, timeline.changeNanos);
    return static_cast<int64_t>(songMs) * NANOS_PER_MS >= atChange ? timeline.changePercent : timeline.percent;
}

void pauseTimeline(SongTimeline &timeline, int64_t nanos) {
    if (timeline.paused) return;
    restartLine(timeline, nanos, timeline.changeNanos == NO_CHANGE ? timeline.percent : timeline.changePercent);
    timeline.paused = true;
}

void resumeTimeline(SongTimeline &timeline, int64_t nanos) {
    if (!timeline.paused) return;
    timeline.anchorNanos = nanos;
    timeline.paused = false;
}

void setTimelineTempo(SongTimeline &timeline, int64_t nanos, int64_t changeNanos, int percent) {
    settle(timeline, nanos);
    const int clamped = std::clamp(percent, SLOWEST_TEMPO, FASTEST_TEMPO);
    if (timeline.paused || changeNanos <= nanos) {
        restartLine(timeline, nanos, clamped);
        return;
    }
    // A change still to come keeps its moment: the notes given before it was asked keep theirs.
    if (timeline.changeNanos == NO_CHANGE) timeline.changeNanos = changeNanos;
    timeline.changePercent = clamped;
}

void moveTimeline(SongTimeline &timeline, int64_t nanos, int32_t songMs) {
    restartLine(timeline, nanos, timeline.changeNanos == NO_CHANGE ? timeline.percent : timeline.changePercent);
    timeline.anchorSongNanos = static_cast<int64_t>(songMs) * NANOS_PER_MS;
}
