#pragma once
// The song's clock on the server: positions are signed milliseconds since the song began.
#include <cstdint>

// The song begins now: position 0 is this moment.
void startSongNow();

int32_t songPosition();

// Nanoseconds from now until the song reaches the position; 0 when it has.
int64_t nanosUntilSongPosition(int32_t position);

// A sum of song times that saturates instead of wrapping, so that a note of absurd length ends
// far in the future rather than in the past.
int32_t saturatingSum(int32_t a, int32_t b);
