// Loads a generated song of 1,000,000 notes in 16 tracks, as the server does, and prints the load
// time, notes per second and peak memory per note. Targets: under 0.5 s, at most 48 bytes per note.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <vector>

#include "schedule/note_schedule.h"
#include "schedule/song_loader.h"
#include "shell/run_state.h"
#include "support/midi_bytes.h"

namespace {

constexpr int TRACKS = 16;
constexpr int NOTES_PER_TRACK = 62500;
constexpr int NOTES = TRACKS * NOTES_PER_TRACK;
constexpr int TEMPO_CHANGES = 50;       // in the first track, spread over the song
constexpr uint32_t NOTE_SPACING = 120;  // ticks from one note-on to the next in a track
constexpr uint32_t NOTE_LENGTH = 90;

// A track chunk written in time order, with running status as sequencers write it.
class TrackWriter {
public:
    void event(uint32_t tick, std::initializer_list<uint8_t> bytes) {
        const midibytes::Bytes delta = midibytes::varLen(tick - lastTick_);
        events_.insert(events_.end(), delta.begin(), delta.end());
        lastTick_ = tick;
        events_.insert(events_.end(), bytes);
    }
    // A channel message; its status byte is left out while it equals the running status.
    void channel(uint32_t tick, uint8_t status, uint8_t key, uint8_t velocity) {
        if (status == runningStatus_) {
            event(tick, {key, velocity});
        } else {
            event(tick, {status, key, velocity});
        }
        runningStatus_ = status;
    }
    void tempo(uint32_t tick, uint32_t microseconds) {
        event(tick, {0xFF, 0x51, 0x03, uint8_t(microseconds >> 16), uint8_t(microseconds >> 8), uint8_t(microseconds)});
        runningStatus_ = 0xFF;
    }
    void write(FILE *file) {
        event(lastTick_, {0xFF, 0x2F, 0x00});
        const uint32_t length = uint32_t(events_.size());
        const uint8_t chunk[8] = {
            'M', 'T', 'r', 'k', uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)};
        fwrite(chunk, 1, sizeof chunk, file);
        fwrite(events_.data(), 1, events_.size(), file);
    }

private:
    std::vector<uint8_t> events_;
    uint32_t lastTick_ = 0;
    uint8_t runningStatus_ = 0;
};

// Format 1, division 480; each track plays one note every 120 ticks with its own offset, ended by a
// velocity-0 note-on; the first track also changes the tempo now and then.
void writeSong(const char *path) {
    FILE *file = fopen(path, "wb");
    if (file == nullptr) {
        perror(path);
        _exit(1);
    }
    const uint8_t header[14] = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, TRACKS, 0x01, 0xE0};
    fwrite(header, 1, sizeof header, file);
    for (int track = 0; track < TRACKS; ++track) {
        TrackWriter writer;
        const uint8_t noteOn = uint8_t(0x90 | track);
        for (int i = 0; i < NOTES_PER_TRACK; ++i) {
            const uint32_t on = uint32_t(i) * NOTE_SPACING + uint32_t(track) * 7;
            if (track == 0 && i % (NOTES_PER_TRACK / TEMPO_CHANGES) == 0) {
                writer.tempo(on, 400000 + 4000 * uint32_t(i / (NOTES_PER_TRACK / TEMPO_CHANGES)));
            }
            const uint8_t key = uint8_t(36 + (i * 7 + track * 5) % 60);
            writer.channel(on, noteOn, key, 100);
            writer.channel(on + NOTE_LENGTH, noteOn, key, 0);
        }
        writer.write(file);
    }
    fclose(file);
}

long peakResidentKb() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main() {
    char path[] = "/tmp/tonecast-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        perror("mkstemp");
        return 1;
    }
    close(fd);
    // Written by a child, so that none of the writer's memory counts toward the load's peak.
    pid_t writer = fork();
    if (writer == 0) {
        writeSong(path);
        _exit(0);
    }
    int status = 0;
    waitpid(writer, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;

    runState.midiPath = path;
    // The loader prints its header and tempo lines; they are not part of the figures.
    FILE *quiet = freopen("/dev/null", "w", stdout);
    const long peakBeforeKb = peakResidentKb();
    const auto begin = std::chrono::steady_clock::now();
    loadSong();
    const auto end = std::chrono::steady_clock::now();
    const long peakAfterKb = peakResidentKb();
    unlink(path);

    long notes = 0;
    for (const NoteRecord *note = noteSchedule.head; note != nullptr; note = note->next) ++notes;
    const double seconds = std::chrono::duration<double>(end - begin).count();
    const double bytesPerNote = double(peakAfterKb - peakBeforeKb) * 1024.0 / double(notes);
    fprintf(stderr, "schedule_load: %ld notes in %d tracks (%s)\n", notes, TRACKS,
            notes == NOTES ? "all" : "MISSING NOTES");
    fprintf(stderr, "load time: %.3f s (target < 0.5 s)\n", seconds);
    fprintf(stderr, "notes per second: %.0f\n", double(notes) / seconds);
    fprintf(stderr, "peak memory per note: %.1f bytes (target <= 48; record %zu bytes)\n", bytesPerNote,
            sizeof(NoteRecord));
    freeSchedule();
    return quiet != nullptr && notes == NOTES ? 0 : 1;
}
