#pragma once
// State the reader's routines share while one file is read; no hook sees any of it.
#include <cstdint>

// Bytes left in the track chunk being read; every counted read takes one off.
extern int32_t Mf_toberead;
// Set by the end-of-track meta event, cleared at the start of each track chunk.
extern bool mfEndOfTrackSeen;
// The last status byte read. Survives from one track to the next, as files rely on it.
extern int mfRunningStatus;
