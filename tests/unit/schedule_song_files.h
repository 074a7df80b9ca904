#pragma once
// Songs for the schedule tests: channel events on top of the reader tests' byte builders, loading a
// song through loadSong() from a temporary file, and the schedule read back as plain values.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "midi_harness.h"
#include "schedule/note_schedule.h"
#include "schedule/song_loader.h"
#include "shell/run_state.h"
#include "support/midi_bytes.h"

namespace songfiles {

using midibytes::Bytes;

inline Bytes noteOn(uint32_t delta, uint8_t channel, uint8_t key, uint8_t velocity = 100) {
    return midibytes::cat({midibytes::varLen(delta), {uint8_t(0x90 | channel), key, velocity}});
}

inline Bytes noteOff(uint32_t delta, uint8_t channel, uint8_t key) {
    return midibytes::cat({midibytes::varLen(delta), {uint8_t(0x80 | channel), key, 64}});
}

inline Bytes setTempo(uint32_t delta, uint32_t microseconds) {
    return midibytes::meta(delta, 0x51,
                           {uint8_t(microseconds >> 16), uint8_t(microseconds >> 8), uint8_t(microseconds)});
}

struct Note {
    uint32_t key;
    int32_t start;
    int32_t duration;
    bool operator==(const Note &other) const {
        return key == other.key && start == other.start && duration == other.duration;
    }
};

inline void PrintTo(const Note &note, std::ostream *os) {
    *os << "{key " << note.key << ", start " << note.start << ", duration " << note.duration << "}";
}

// The schedule from head to tail; also checks that the tail is the last record.
inline std::vector<Note> scheduledNotes() {
    std::vector<Note> notes;
    const NoteRecord *last = nullptr;
    for (const NoteRecord *note = noteSchedule.head; note != nullptr; note = note->next) {
        notes.push_back({note->key, note->start, note->duration});
        last = note;
    }
    EXPECT_EQ(noteSchedule.tail, last);
    return notes;
}

// Writes the bytes to a temporary file and names it as the song of the run.
class SongFile {
public:
    explicit SongFile(const Bytes &bytes) {
        char name[] = "/tmp/tonecast-song-XXXXXX";
        int fd = mkstemp(name);
        path_ = name;
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        close(fd);
        runState.midiPath = path_.c_str();
    }
    ~SongFile() { unlink(path_.c_str()); }
    SongFile(const SongFile &) = delete;
    SongFile &operator=(const SongFile &) = delete;

private:
    std::string path_;
};

// Loads a song that must load; returns what loading printed. Each such song also seeds the
// schedule_load fuzz target.
inline std::string loadSongBytes(const Bytes &bytes) {
    midiharness::keepAsSeedOf("schedule_load", bytes);
    freeSchedule();
    SongFile file(bytes);
    testing::internal::CaptureStdout();
    loadSong();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace songfiles
