#pragma once
#include <cstdint>
#include <string>

// Loads the MIDI file named in the run state into the note schedule, ordered by start time.
// Returns only on success; a file that cannot be opened or read ends the run.
void loadSong();

// A later song of a concert, or the song playing read again with other options: from the file at
// path, or from bytes when given (a file dropped on the conductor's page). The reader's lines are
// printed as for the first song (the file's header and tempo only when tellFileLines). On success the
// note schedule holds the song and the one before is freed; on failure the schedule is as it was,
// refusal holds the messages printed, and the run goes on. With checkedLengthMs the song is only
// checked: the schedule stays as it was either way, and a song read whole gives its length there.
bool loadConcertSong(const char *path, const std::string *bytes, bool tellFileLines, std::string &refusal,
                     int32_t *checkedLengthMs = nullptr);
