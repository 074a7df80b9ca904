#pragma once
// The song as the server plays it: its clock, which a conductor may pause, move and speed up, and
// the next note to give. Positions are milliseconds on the run's clock: the song's own time, which
// goes on counting through the laps of a loop (a lap later, a note's start is a loop's length
// later), so that the clients' rule and the notes held for older clients never see time go back
// except at a seek or a new song.
#include <cstdint>
#include <string>

#include "schedule/note_schedule.h"

// The song in the note schedule begins: position 0 a lead after now (0: at once), at the file's tempo.
void startSongAfter(int32_t leadMs);
// Position 0 now.
void startSongNow();
int32_t songPosition();
// Nanoseconds from now until the song reaches the position; 0 when it has; -1 while it is paused
// before it.
int64_t nanosUntilSongPosition(int32_t position);
// The server's clock (as the protocol counts it) when the song reaches the position.
uint32_t serverMicrosAtSongPosition(int32_t position);
// The song's start on the monotonic clock, at position 0.
int64_t songStartNanos();

// The next note to give and its start on the run's clock; nullptr once every note is given.
const NoteRecord *nextNoteToGive(int32_t &start);
// The note nextNoteToGive returned went to the voice (NO_VOICE: dropped; NOT_SOUNDED: nothing to sound).
constexpr int NO_VOICE = -1;
constexpr int NOT_SOUNDED = -2;
void noteGiven(int voice);
// The voice the next note went to before a pause took it back (NO_VOICE when it was not), for a
// voice that a silence does not reach: that voice plays it anyway, and it is not given again.
int voiceBeforePause();
// The start of the last note given, on the run's clock.
int32_t lastGivenStart();

// A conductor's changes. A pause holds the song where it is now; resume and seek go on a lead after
// now (so that notes are given ahead in time), seek from the note starting at or after songMs.
void pauseSong();
void resumeSong(int32_t leadMs);
void seekSong(int32_t songMs, int32_t leadMs);
void setSongTempo(int percent);
// Plays from..until over and over; until <= from ends the loop.
void loopSong(int32_t fromMs, int32_t untilMs);
// The song was read again (other options): the next note given is the first that starts at or
// after the one that was next.
void songNotesReplaced(int32_t nextStartMs);

bool songPaused();
// The tempo now (a change asked for counts at once), and the one the song plays at the position.
int songTempo();
int songTempoAt(int32_t position);
// The song's own position now, in milliseconds of the file (a loop's laps folded back).
int32_t songMsNow();
// Where the loop is; false when there is none.
bool songLoop(int32_t &fromMs, int32_t &untilMs);
// One character per note of the schedule: "." not given yet, "-" dropped, "A" + voice the voice
// that played it (A to Z, then a to f).
const std::string &givenMarks();
