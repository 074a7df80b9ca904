#include "schedule/song_loader.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "midi/midifile.h"
#include "platform/clock.h"
#include "schedule/note_schedule.h"
#include "schedule/song_filter.h"
#include "schedule/song_hooks.h"
#include "schedule/tempo_map.h"
#include "shell/run_state.h"
#include "shell/shutdown.h"

void loadSong() {
    // Opening a pipe that nobody writes, or reading a slow share, can block for good: a stop must
    // end it there too.
    letStopsInterruptAnything(true);
    FILE *file = fopen(runState.midiPath, "rb");
    if (file == nullptr) {
        if (stopRequested()) shutdownAndExit();
        printf("Invalid MIDI file.\n");
        shutdownAndExit();
    }
    installSongHooks(file);
    int result = mfread();
    fclose(file);
    letStopsInterruptAnything(false);
    if (result < 0) {
        // The reader's "Error:%d" has no newline, so this message continues its line.
        printf("There were errors reading the MIDI file. [%d]\n", result);
        freeTempoMap();
        shutdownAndExit();  // also frees the records made before the error
    }
    finishSongTimes();
    freeTempoMap();
    if (songFilter.skipSysex) fprintf(stderr, "Skipped %d SysEx messages.\n", sysexEventsSkipped());
}

bool loadConcertSong(const char *path, const std::string *bytes, bool tellFileLines, std::string &refusal,
                     int32_t *checkedLengthMs) {
    FILE *file = nullptr;
    if (bytes == nullptr) {
        letStopsInterruptAnything(true);
        file = fopen(path, "rb");
        letStopsInterruptAnything(false);
        if (file == nullptr) {
            if (stopRequested()) shutdownAndExit();
            refusal = "Invalid MIDI file.";
            printf("%s\n", refusal.c_str());
            return false;
        }
    }
    // The song playing stays until the new one is read whole.
    const NoteSchedule before = noteSchedule;
    noteSchedule.head = noteSchedule.tail = nullptr;
    letStopsInterruptAnything(file != nullptr);
    installSongHooks(file, bytes, tellFileLines);
    const int result = mfread();
    letStopsInterruptAnything(false);
    if (file != nullptr) fclose(file);
    if (result < 0) {
        refusal = "Error:" + std::to_string(result) + "There were errors reading the MIDI file. [" +
                  std::to_string(result) + "]";
        printf("There were errors reading the MIDI file. [%d]\n", result);
        freeTempoMap();
        freeSchedule();
        noteSchedule = before;
        return false;
    }
    finishSongTimes();
    freeTempoMap();
    if (checkedLengthMs != nullptr) {
        *checkedLengthMs = 0;
        for (const NoteRecord *note = noteSchedule.head; note != nullptr; note = note->next) {
            if (isAudible(*note))
                *checkedLengthMs = std::max(*checkedLengthMs, saturatingSum(note->start, std::max(note->duration, 0)));
        }
        freeSchedule();
        noteSchedule = before;
        return true;
    }
    NoteSchedule read = noteSchedule;
    noteSchedule = before;
    freeSchedule();
    noteSchedule = read;
    if (songFilter.skipSysex && tellFileLines) fprintf(stderr, "Skipped %d SysEx messages.\n", sysexEventsSkipped());
    return true;
}
