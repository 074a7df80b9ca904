#pragma once
// What the server plays of a song, as chosen on its command line: some channels and tracks only,
// every key moved and folded by octaves into a range, and system-exclusive events read past
// instead of refused. Applied by the reader's hooks, so a note left out is never scheduled.
#include <cstdint>
#include <utility>
#include <vector>

// Numbers chosen by a list such as 1-9,11-16: inclusive ranges. An empty list chooses every number.
struct NumberList {
    std::vector<std::pair<int, int>> ranges;
};

constexpr int CHANNEL_COUNT = 16;
// Keys are folded by whole octaves, so a range must hold this many of them to take every key.
constexpr int OCTAVE = 12;
constexpr int DRUM_CHANNEL = 10;  // General MIDI's, numbered as musicians do

struct SongFilter {
    uint16_t channels;  // bit n - 1: channel n (numbered 1 to 16, as musicians do) plays
    NumberList tracks;  // numbered from 1 in file order
    int transpose;      // semitones
    int lowestKey;      // every key is folded by octaves into lowestKey..highestKey
    int highestKey;
    bool skipSysex;
};

// Plays everything, as the file says.
extern SongFilter songFilter;

bool listHolds(const NumberList &list, int number);

// The key a note of the file is played at: moved, then folded by whole octaves into the range.
int shapedKey(int key);
