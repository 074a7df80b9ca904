#pragma once
// What the server tells a person about the song, on standard error (standard output keeps its
// exact lines): once the song is loaded, its length, its notes and how many clients play every
// one of them; while it plays, one line kept in place; at its end, a summary. All three when
// standard error is a terminal; the first and the last also wherever it goes with --stats.
#include <cstdint>

// Set by --stats.
extern bool statsRequested;

// After loading: measures the song and tells it.
void reportLoadedSong();
// Where the song's last note ends, in milliseconds, once it is measured.
int32_t songLengthMs();
// Each note that had something to sound: sent to a client, or dropped for want of a free one.
void countNote(bool sent);
// Redraws the status line if it is shown and a quarter of a second has passed since it last was.
void showStatusLine(int32_t position);
// Nanoseconds until the status line is next due, for the server's wait; -1 when it is not shown.
int64_t nanosUntilStatusLine();
// The notes of the song so far that went to a client, and that were dropped.
int notesSent();
int notesDropped();
// Takes the status line off the screen before another line is printed; it comes back at its next turn.
void clearStatusLine();
// The summary at the end of a run that played, at the song position it reached.
void reportSongEnd(int32_t position);
