#include "net/server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/client_table.h"
#include "net/dispatch.h"
#include "net/protocol.h"
#include "net/server_status.h"
#include "net/socket.h"
#include "platform/clock.h"
#include "schedule/note_schedule.h"
#include "schedule/song_loader.h"
#include "shell/run_state.h"
#include "shell/shutdown.h"

namespace {

int32_t songOrigin;  // the elapsedMs value at which the song began

// The first song of a waiting server starts with the first activate; later ones change nothing.
void activate() {
    if (runState.playbackActive) return;
    printf("SV: got activate\n");
    fflush(stdout);
    runState.playbackActive = 1;
    startSongNow();
}

// Takes the head note off the schedule once the song has reached it and gives it to a client.
// At most one note per pass: notes due together leave on consecutive passes.
void playDueNote(int32_t position) {
    if (position < noteSchedule.head->start) return;
    NoteRecord *taken = takeFirstNote();
    NoteRecord note = *taken;
    free(taken);
    if (!isAudible(note)) return;
    countNote(dispatchNote(position, note.key, note.duration, note.start, saturatingSum(note.start, note.duration)));
}

// Sleeps until a datagram arrives or the next note (or the status line) is due, so that the server
// keeps time without spinning. A waiting server has nothing to do until an activate datagram comes.
void waitForDatagramOrNote() {
    int64_t nanos = -1;
    if (runState.playbackActive) {
        nanos = scheduleIsEmpty() ? 0 : nanosUntilSongPosition(noteSchedule.head->start);
        const int64_t statusNanos = nanosUntilStatusLine();
        if (statusNanos >= 0) nanos = std::min(nanos, statusNanos);
    }
    waitForSocket(socketHandle(), nanos);
}

[[noreturn]] void endServerRun() {
    reportSongEnd(songPosition());
    shutdownAndExit();
}

}  // namespace

void startSongNow() {
    songOrigin = elapsedMs();
}

int32_t songPosition() {
    // The time from the origin until now, safe across the timer's wrap.
    return msUntil(elapsedMs(), songOrigin);
}

int64_t nanosUntilSongPosition(int32_t position) {
    if (static_cast<int64_t>(position) - songPosition() <= 0) return 0;
    return nanosUntilElapsed(msAfter(songOrigin, position));
}

void handleServerDatagram(const uint8_t *bytes, int length, const netAddress &sender) {
    if (length < 1) return;
    // Classification reads words 0 and 1 at most; a shorter datagram reads as if zero-padded.
    uint8_t fields[4] = {};
    memcpy(fields, bytes, static_cast<size_t>(std::min(length, static_cast<int>(sizeof fields))));
    switch (classifyServerDatagram(fields)) {
        case ServerRequest::Connect: registerClient(sender); break;
        case ServerRequest::Activate: activate(); break;
        case ServerRequest::Disconnect: releaseClient(readWord(fields, 0), sender); break;
        case ServerRequest::Other: break;
    }
}

void runServerLoop() {
    runState.isServer = 1;
    loadSong();
    reportLoadedSong();
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
        if (stopRequested()) endServerRun();
        if (runState.playbackActive) {
            // The song is over once every note has been taken off.
            if (scheduleIsEmpty()) endServerRun();
            const int32_t position = songPosition();
            playDueNote(position);
            showStatusLine(position);
        }
        netAddress sender;
        int length = receiveMessage(buffer, sizeof buffer, sender);
        handleServerDatagram(buffer, length, sender);
        waitForDatagramOrNote();
    }
}
