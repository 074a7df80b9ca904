#pragma once
// Turns tick counts into milliseconds across the set-tempo events of a song. Until the first change
// a quarter note lasts DEFAULT_MS_PER_QUARTER (120 beats per minute); each change holds from its tick
// until the next. The ticks per quarter note are noteSchedule.division; a division of 0 makes every time 0.
#include <cstdint>

constexpr int32_t DEFAULT_MS_PER_QUARTER = 500;

// Forgets every change (the next map starts at the default tempo); the memory is kept for reuse.
void restartTempoMap();
// Adds a change at a tick. Times are right at once while changes come in tick order, as within one
// track; otherwise after orderTempoMap(). False when memory is out.
bool addTempoChange(int32_t tick, int32_t msPerQuarter);
// Sorts the changes by tick, changes at one tick keeping their order, so the last one read holds.
void orderTempoMap();
// The time of a tick in milliseconds, unrounded.
double tickToMs(int32_t tick);
// Frees the map's memory.
void freeTempoMap();

// A time in milliseconds as a whole number: truncated toward zero, clamped into the signed 32-bit range.
int32_t wholeMs(double ms);
