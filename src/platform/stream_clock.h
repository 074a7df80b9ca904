#pragma once
// Where a sound stream that plays in real time is heard, read from how much of it is still queued:
// frame n of the stream is heard at the stream's start (on the monotonic clock) plus n frames, and
// the start itself moves at the rate the device's clock runs off the monotonic one.
//
// A device tells what it has taken only in steps (a sound server takes a block at a time), so each
// reading of the start (now, plus what is queued, less what was written) is late by anything up to
// a step, and never early: the readings rise with the clock and fall back at each step, and their
// low edge is the start. The lowest reading of each short window marks that edge; a line through
// the recent windows' lows, lowered to the lowest of them, gives the start and how fast it moves,
// so that a device whose clock runs off the monotonic one (PulseAudio's null sink at 48 kHz runs
// up to 0.2 % fast) is followed without lag.
#include <cstdint>

// Forgets every reading: the stream starts afresh (it was opened, or it ran dry and restarted). The
// rate its device's clock was found to run at is kept.
void restartStreamClock();

// Starts afresh with frame 0 at the moment (monotonic nanoseconds), where it stays until readings
// place it: for a stream just opened, and for a device that takes samples at once rather than in
// real time, which is never read.
void fixStreamStart(int64_t startNanos);

// A reading taken at now (monotonic nanoseconds): frames written so far and frames still queued,
// at the rate. Until the device has taken a frame the reading tells nothing and is left out.
void readStreamClock(int64_t now, int64_t framesWritten, int64_t queuedFrames, int rate);

// The stream's start as the readings place it for the moment (monotonic nanoseconds): frame n is
// heard at the start plus n frames. The moment itself before any reading.
int64_t streamStartAt(int64_t moment);
