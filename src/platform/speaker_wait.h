#pragma once
#include <ctime>

// The moment, on the monotonic clock, at which a tone that starts now has lasted its length.
timespec toneDeadline(int milliseconds);

// Sleeps without using the processor until the deadline has passed; returns at once if it has.
void sleepUntil(const timespec &deadline);
