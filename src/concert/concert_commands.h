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
    // Live playing: a key pressed and let go by one player (liveSource), and a player gone (a
    // session ended, packets lost, a page closed): every key it holds is let go.
    LiveNoteOn,   // key, velocity 1 to 127
    LiveNoteOff,  // key
    LiveSourceEnded,
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
    // Live commands: who plays (an RTP-MIDI session's id, below LIVE_PAGE_SOURCES; a conductor's
    // page, LIVE_PAGE_SOURCES and up) and the key, 0 to 127, with its velocity.
    uint32_t liveSource = 0;
    int key = 0;
    int velocity = 0;
};
constexpr uint32_t LIVE_PAGE_SOURCES = 0x80000000u;

// Queues a command for the song's loop and wakes it. Never waits for the loop.
void postConcertCommand(ConcertCommand command);
// The oldest command not yet taken; false when none waits.
bool takeConcertCommand(ConcertCommand &command);
