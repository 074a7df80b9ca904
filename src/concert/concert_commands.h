#pragma once
// What a conductor asks of the song's loop (from the conductor's page or the server's terminal),
// handed over through one queue. Any thread may post; only the song's loop takes, and a post wakes
// the loop's wait at once, so a command is acted on within a pass of the loop.
#include <cstdint>
#include <string>

enum class ConcertCommandKind {
    Start,  // what the activate does: a waiting room begins
    Stop,   // the run ends, as at a stop signal
    Pause,
    Resume,
    TogglePause,  // the terminal's space key
    Seek,         // to songMs
    SeekBy,       // songMs forward (negative: back) from the position now
    Loop,         // play songMs to untilMs over and over; untilMs <= songMs ends a loop
    Tempo,        // percent of the file's own tempo, 25 to 400
    TempoBy,      // percent added to the tempo now
    Next,
    Previous,
    PlaySong,     // the song at index, from its start
    AddSong,      // a file dropped on the page: name and bytes
    SongOptions,  // options replaces what the song's options are; applies from the next note
};

// The song's options that a conductor may switch while it plays, as on the command line.
struct ConcertSongOptions {
    uint16_t channels;   // bit n - 1: channel n plays; drums are bit 9
    std::string tracks;  // as --tracks takes them; empty: every track
    int transpose;       // semitones, -48 to 48
    int lowestKey;       // as --range
    int highestKey;
};

struct ConcertCommand {
    ConcertCommandKind kind;
    int32_t songMs = 0;
    int32_t untilMs = 0;
    int percent = 0;
    int index = 0;
    std::string name;   // AddSong
    std::string bytes;  // AddSong: the file as it came
    ConcertSongOptions options = {};
};

// Queues a command for the song's loop and wakes it. Never waits for the loop.
void postConcertCommand(ConcertCommand command);
// The oldest command not yet taken; false when none waits.
bool takeConcertCommand(ConcertCommand &command);
