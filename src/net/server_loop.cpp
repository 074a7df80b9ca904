#include "net/server_loop.h"

#include <cstdio>
#include <cstdlib>

#include "net/client_table.h"
#include "net/dispatch.h"
#include "net/protocol.h"
#include "net/send.h"
#include "net/server_datagram.h"
#include "net/server_time.h"
#include "net/server_wait.h"
#include "schedule/note_schedule.h"
#include "schedule/song_loader.h"
#include "shell/run_state.h"
#include "shell/shutdown.h"

namespace {

// At most one note per pass; notes due together leave on consecutive passes.
void playDueNote(int32_t position) {
    if (scheduleIsEmpty()) shutdownAndExit();
    if (position < noteSchedule.head->start) return;
    NoteRecord *taken = takeFirstNote();
    NoteRecord note = *taken;
    free(taken);
    // A key of 0 or a note of no length has nothing to sound.
    if (note.key == 0 || note.duration == 0) return;
    dispatchNote(position, note.key, note.duration, note.start, saturatingSum(note.start, note.duration));
}

}  // namespace

void runServerLoop() {
    runState.isServer = 1;
    loadSong();
    clearClientTable();
    if (!bindSocket(SERVER_PORT)) {
        printf("SV: couldn't bind to port %d\n", SERVER_PORT);
        return;
    }
    printf("SV: Binded to port %d\n", SERVER_PORT);
    fflush(stdout);
    requestPreciseWakeups();
    startSongNow();
    uint8_t buffer[SERVER_RECEIVE_BUFFER];
    for (;;) {
        if (runState.playbackActive) playDueNote(songPosition());
        netAddress sender;
        int length = runState.socket->recvfrom(buffer, sizeof buffer, 0, &sender);
        handleServerDatagram(buffer, length, sender);
        waitForDatagramOrNote();
    }
}
