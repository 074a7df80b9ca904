#pragma once
// The song's clock through pauses, seeks and tempo changes: where the song stands, in milliseconds
// of its own time, at each moment of the server's monotonic clock, and the other way round. Between
// two changes the song moves in a straight line, so both ways are exact and a change leaves the
// position of its moment where it was. A tempo change may wait for a later moment (notes given
// ahead keep the moments they were given), so the clock holds the line now and at most one after it.
#include <cstdint>

constexpr int ORIGINAL_TEMPO = 100;  // percent: the file's own
constexpr int SLOWEST_TEMPO = 25;
constexpr int FASTEST_TEMPO = 400;
constexpr int64_t NO_CHANGE = INT64_MAX;

struct SongTimeline {
    int64_t anchorNanos;      // a moment of the monotonic clock
    int64_t anchorSongNanos;  // where the song stood then
    int percent;              // its tempo
    bool paused;              // it stands at anchorSongNanos
    int64_t changeNanos;      // from this moment (NO_CHANGE: none) the song moves at changePercent
    int changePercent;
};

// The song at songMs at the moment, at the file's own tempo.
SongTimeline timelineFrom(int64_t nanos, int32_t songMs);
// Where the song stands at the moment, in nanoseconds and in whole milliseconds (rounded down).
int64_t songNanosAt(const SongTimeline &timeline, int64_t nanos);
int32_t songMsAt(const SongTimeline &timeline, int64_t nanos);
// The first moment at which the song has reached the position; INT64_MAX while it stands still
// before it.
int64_t momentOfSongMs(const SongTimeline &timeline, int32_t songMs);
// The tempo in effect when the song reaches the position.
int tempoAtSongMs(const SongTimeline &timeline, int32_t songMs);

// Holds the song where it stands at the moment; a tempo change still to come takes effect at once.
void pauseTimeline(SongTimeline &timeline, int64_t nanos);
// The song goes on from where it stands, from the moment given (later than now: until then it reads
// as leading up to where it stands, as before a start).
void resumeTimeline(SongTimeline &timeline, int64_t nanos);
// From the moment changeNanos (not before now, the moment nanos) the song moves at percent of its
// own tempo, clamped to 25 to 400.
void setTimelineTempo(SongTimeline &timeline, int64_t nanos, int64_t changeNanos, int percent);
// The song is at songMs at the moment (paused or not, as it was); a tempo change still to come
// takes effect at once.
void moveTimeline(SongTimeline &timeline, int64_t nanos, int32_t songMs);
