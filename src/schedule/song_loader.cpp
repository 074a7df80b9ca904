#include "schedule/song_loader.h"

#include <cstdio>

#include "midi/midifile.h"
#include "platform/clock.h"
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
