#include "server/server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "concert/terminal_keys.h"
#include "net/protocol.h"
#include "net/room_clock.h"
#include "net/socket.h"
#include "platform/clock.h"
#include "schedule/note_schedule.h"
#include "schedule/song_loader.h"
#include "server/client_table.h"
#include "server/dispatch.h"
#include "server/server_status.h"
#include "shell/run_state.h"
#include "shell/shutdown.h"
#include "web/web_room.h"

namespace {

int32_t songOrigin;       // the elapsedMs value at which the song began
int64_t songOriginNanos;  // the same moment on the monotonic clock, which timed notes count from
int32_t lastGivenStart;   // the start of the last note taken off the schedule

// The song starts a lead after now, so that its first notes can be sent ahead too.
void startSongAfter(int32_t leadMs) {
    songOrigin = msAfter(elapsedMs(), leadMs);
    songOriginNanos = monotonicNanos() + leadMs * NANOS_PER_MILLI;
    if (runState.playbackActive) announceSongStart(songOriginNanos);
}

// The first song of a waiting server starts with the first activate; later ones change nothing.
// With a client that knows the room's clock it starts a lead later; a room of older clients
// starts at once.
void activate() {
    if (runState.playbackActive) return;
    printf("SV: got activate\n");
    fflush(stdout);
    runState.playbackActive = 1;
    startSongAfter(anyTimedClient() ? runState.leadMs : 0);
}

// How long before its start a note is given: a lead while a client that knows the room's clock
// is registered, so that such clients have it in time; with none, at its start.
int32_t lookAheadMs() {
    return anyTimedClient() ? runState.leadMs : 0;
}

// The song position at which the head note is given.
int64_t headNoteDue() {
    return static_cast<int64_t>(noteSchedule.head->start) - lookAheadMs();
}

// Takes the head note off the schedule once it is due and gives it to a client. At most one note
// per pass: notes due together leave on consecutive passes.
void playDueNote(int32_t position) {
    if (position < headNoteDue()) return;
    const bool ahead = lookAheadMs() > 0;
    NoteRecord *taken = takeFirstNote();
    NoteRecord note = *taken;
    free(taken);
    lastGivenStart = std::max(lastGivenStart, note.start);
    if (!isAudible(note)) return;
    countNote(dispatchNote(ahead ? note.start : position, note.key, note.duration, note.start,
                           saturatingSum(note.start, note.duration), ahead));
}

// The song is over once every note has been taken off and sent, and the last one is due: a note
// given ahead is still to sound, and the good-bye waits for it.
bool songIsOver(int32_t position) {
    int32_t held = 0;
    return scheduleIsEmpty() && !nextHeldNote(held) && position >= lastGivenStart;
}

// The song position at which the loop has something to do next.
int64_t nextSongMoment() {
    int64_t next = scheduleIsEmpty() ? lastGivenStart : headNoteDue();
    int32_t held = 0;
    if (nextHeldNote(held)) next = std::min<int64_t>(next, held);
    return next;
}

// The shorter of two waits in nanoseconds, where less than 0 is no limit.
int64_t sooner(int64_t a, int64_t b) {
    if (a < 0) return b;
    return b < 0 ? a : std::min(a, b);
}

// Sleeps until a datagram arrives, the next note (or the status line) is due, or a timed client is
// to be let go or welcomed again, so that the server keeps time without spinning. A waiting server
// with only older clients has nothing to do until an activate datagram comes.
void waitForDatagramOrNote() {
    int64_t nanos = nanosUntilTimedClientsDue(monotonicNanos());
    if (runState.playbackActive) {
        nanos =
            sooner(nanos, nanosUntilSongPosition(static_cast<int32_t>(std::max<int64_t>(nextSongMoment(), INT32_MIN))));
        nanos = sooner(nanos, nanosUntilStatusLine());
    }
    waitForSocket(socketHandle(), nanos);
}

[[noreturn]] void endServerRun() {
    reportSongEnd(std::max(songPosition(), 0));
    shutdownAndExit();
}

}  // namespace

void startSongNow() {
    startSongAfter(0);
}

uint32_t serverMicrosAtSongPosition(int32_t position) {
    return serverMicros(songOriginNanos + position * NANOS_PER_MILLI);
}

int32_t songPosition() {
    // The time from the origin until now, safe across the timer's wrap.
    return msUntil(elapsedMs(), songOrigin);
}

int64_t nanosUntilSongPosition(int32_t position) {
    if (static_cast<int64_t>(position) - songPosition() <= 0) return 0;
    return nanosUntilElapsed(msAfter(songOrigin, position));
}

void handleServerDatagram(const uint8_t *bytes, int length, const netAddress &sender, int64_t nowNanos) {
    if (length < 1) return;
    // Classification reads the first 14 bytes at most; a shorter datagram reads as if zero-padded.
    uint8_t fields[LONGEST_MESSAGE] = {};
    memcpy(fields, bytes, static_cast<size_t>(std::min(length, static_cast<int>(sizeof fields))));
    switch (classifyServerDatagram(fields)) {
        case ServerRequest::Connect: registerClient(sender, clockVersionOf(fields), nowNanos); break;
        case ServerRequest::Activate: activate(); break;
        case ServerRequest::Disconnect: releaseClient(readWord(fields, 0), sender); break;
        case ServerRequest::ClockRequest: answerClockRequest(fields, sender, nowNanos); break;
        case ServerRequest::Other: break;
    }
}

void runServerLoop() {
    runState.isServer = 1;
    loadSong();
    startTerminalKeys();
    reportLoadedSong();
    clearClientTable();
    if (!bindSocket(SERVER_PORT)) {
        printf("SV: couldn't bind to port %d\n", SERVER_PORT);
        return;
    }
    printf("SV: Binded to port %d\n", SERVER_PORT);
    fflush(stdout);
    if (runState.webPort != 0) startWebRoom(runState.webPort, songLengthMs());
    requestPreciseWakeups();
    startSongNow();
    uint8_t buffer[SERVER_RECEIVE_BUFFER];
    for (;;) {
        if (stopRequested()) endServerRun();
        if (runState.playbackActive) {
            const int32_t position = songPosition();
            if (songIsOver(position)) endServerRun();
            sendHeldNotes(position);
            if (!scheduleIsEmpty()) playDueNote(position);
            showStatusLine(std::max(position, 0));
        }
        netAddress sender;
        int length = receiveMessage(buffer, sizeof buffer, sender);
        const int64_t now = monotonicNanos();
        handleServerDatagram(buffer, length, sender, now);
        // Another datagram may wait behind this one: the loop sleeps only once none does, which
        // spares a flood a wait per datagram. Timed clients are judged only then too, so that a
        // server that was stopped a while reads the requests they sent meanwhile first.
        if (length > 0) continue;
        tendTimedClients(now);
        waitForDatagramOrNote();
    }
}
