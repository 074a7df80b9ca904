#pragma once

// Loads the MIDI file named in the run state into the note schedule, ordered by start time.
// Returns only on success; a file that cannot be opened or read ends the run.
void loadSong();
