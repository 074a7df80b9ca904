#pragma once
// The reader's hooks that turn a MIDI file into the note schedule.
#include <cstdint>
#include <cstdio>
#include <string>

// Clears the active-note table, the tempo map and the reader's hooks, then installs the song's hooks,
// which read their bytes from `file` (or from `bytes`, when given) and keep what songFilter chooses.
// The file's header and tempo lines are printed when tellFileLines. A stop requested while they
// read ends the run.
void installSongHooks(FILE *file, const std::string *bytes = nullptr, bool tellFileLines = true);
// After a successful read: gives every note its final times, orders the list by start and empties
// the active-note table.
void finishSongTimes();
// The system-exclusive events read past while the song was read with songFilter.skipSysex.
int32_t sysexEventsSkipped();
