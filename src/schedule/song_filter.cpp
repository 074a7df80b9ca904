#include "schedule/song_filter.h"

#include "schedule/note_schedule.h"

SongFilter songFilter = {0xFFFF, {}, 0, 0, KEY_COUNT - 1, false};

bool listHolds(const NumberList &list, int number) {
    if (list.ranges.empty()) return true;
    for (const auto &[first, last] : list.ranges) {
        if (number >= first && number <= last) return true;
    }
    return false;
}

int shapedKey(int key) {
    int shaped = key + songFilter.transpose;
    // A range is at least an octave wide, so every key finds a place in it.
    while (shaped < songFilter.lowestKey) shaped += OCTAVE;
    while (shaped > songFilter.highestKey) shaped -= OCTAVE;
    return shaped;
}
