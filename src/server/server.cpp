#include "server/server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "concert/terminal_keys.h"
#include "live/rtp_midi_listener.h"
#include "net/protocol.h"
#include "net/room_clock.h"
#include "net/socket.h"
#include "platform/clock.h"
#include "schedule/note_schedule.h"
#include "schedule/song_loader.h"
#include "server/client_table.h"
#include "server/concert.h"
#include "server/dispatch.h"
#include "server/live_voices.h"
#include "server/server_status.h"
#include "server/song_run.h"
#include "shell/run_state.h"
#include "shell/shutdown.h"
#include "web/web_room.h"

namespace {

// How long before its start a note is given: a lead while a client that knows the room's clock
// is registered, so that such clients have it in time; with none, at its start.
int32_t lookAhead() {
    return anyTimedClient() ? runState.leadMs : 0;
}

// Gives the next note once it is due. At most one note per pass: notes due together leave on
// consecutive passes.
void playDueNote(int32_t position) {
    int32_t start = 0;
    const NoteRecord *note = nextNoteToGive(start);
    if (note == nullptr || position < static_cast<int64_t>(start) - lookAhead()) return;
    if (!isAudible(*note)) {
        noteGiven(NOT_SOUNDED);
        return;
    }
    // A client that a pause could not silence plays what it had been given; it is not given twice.
    const int keptBy = voiceBeforePause();
    if (keptBy != NO_VOICE && keepsNotesGivenAhead(keptBy)) {
        noteGiven(keptBy);
        return;
    }
    const bool ahead = lookAhead() > 0;
    const int voice = dispatchNote(ahead ? start : position, note->key, note->duration, start,
                                   saturatingSum(start, note->duration), ahead, songTempoAt(start));
    countNote(voice != NOTE_DROPPED);
    noteGiven(voice);
}

// The song is over once every note has been given and sent, and the last one is due: a note
// given ahead is still to sound, and the good-bye waits for it.
bool songIsOver(int32_t position) {
    int32_t next = 0;
    return nextNoteToGive(next) == nullptr && !nextHeldNote(next) && position >= lastGivenStart();
}

// The song position at which the loop has something to do next.
int64_t nextSongMoment() {
    int32_t start = 0;
    int64_t next = nextNoteToGive(start) == nullptr ? lastGivenStart() : static_cast<int64_t>(start) - lookAhead();
    int32_t held = 0;
    if (nextHeldNote(held)) next = std::min<int64_t>(next, held);
    return next;
}

// The shorter of two waits in nanoseconds, where less than 0 is no limit.
int64_t sooner(int64_t a, int64_t b) {
    if (a < 0) return b;
    return b < 0 ? a : std::min(a, b);
}

// Sleeps until a datagram or a command arrives, the next note or live slice (or the status line, or
// the room's state for the pages) is due, or a timed client is to be let go or welcomed again, so
// that the server keeps time without spinning. A waiting server with only older clients has nothing to do
// until an activate datagram comes.
void waitForDatagramOrNote(int64_t untilRoomState) {
    const int64_t now = monotonicNanos();
    int64_t nanos = sooner(sooner(nanosUntilTimedClientsDue(now), nanosUntilLiveVoicesDue(now)), untilRoomState);
    if (runState.playbackActive) {
        nanos =
            sooner(nanos, nanosUntilSongPosition(static_cast<int32_t>(std::max<int64_t>(nextSongMoment(), INT32_MIN))));
        nanos = sooner(nanos, nanosUntilStatusLine());
    }
    waitForSocket(socketHandle(), nanos);
}

}  // namespace

int32_t lookAheadMs() {
    return lookAhead();
}

// The first song of a waiting server starts with the first activate; later ones change nothing.
// With a client that knows the room's clock it starts a lead later; a room of older clients
// starts at once. A live room has no song to start.
void activateSong() {
    if (runState.playbackActive || runState.liveMode) return;
    printf("SV: got activate\n");
    fflush(stdout);
    runState.playbackActive = 1;
    startSongAfter(lookAhead());
}

[[noreturn]] void endServerRun() {
    reportSongEnd(std::max(songPosition(), 0));
    shutdownAndExit();
}

void handleServerDatagram(const uint8_t *bytes, int length, const netAddress &sender, int64_t nowNanos) {
    if (length < 1) return;
    // Classification reads the first 14 bytes at most; a shorter datagram reads as if zero-padded.
    uint8_t fields[LONGEST_MESSAGE] = {};
    memcpy(fields, bytes, static_cast<size_t>(std::min(length, static_cast<int>(sizeof fields))));
    switch (classifyServerDatagram(fields)) {
        case ServerRequest::Connect: registerClient(sender, clockVersionOf(fields), nowNanos); break;
        case ServerRequest::Activate: activateSong(); break;
        case ServerRequest::Disconnect: releaseClient(readWord(fields, 0), sender); break;
        case ServerRequest::ClockRequest: answerClockRequest(fields, sender, nowNanos); break;
        case ServerRequest::ClientReport: takeClientReport(fields, sender); break;
        case ServerRequest::Other: break;
    }
}

void runServerLoop() {
    runState.isServer = 1;
    if (!runState.liveMode) loadSong();
    startTerminalKeys();
    if (!runState.liveMode) reportLoadedSong();
    clearClientTable();
    if (!bindSocket(SERVER_PORT)) {
        printf("SV: couldn't bind to port %d\n", SERVER_PORT);
        return;
    }
    printf("SV: Binded to port %d\n", SERVER_PORT);
    fflush(stdout);
    if (runState.webPort != 0) startWebRoom(runState.webPort, runState.conductorKey);
    // Like the page, the sessions are an addition: without their ports the room plays on.
    if (runState.rtpMidiPort != 0) startRtpMidiListener(runState.rtpMidiPort);
    requestPreciseWakeups();
    startSongNow();
    beginConcert();
    uint8_t buffer[SERVER_RECEIVE_BUFFER];
    for (;;) {
        if (stopRequested()) endServerRun();
        actOnConcertCommands();
        tendLiveVoices(monotonicNanos());
        if (runState.playbackActive) {
            const int32_t position = songPosition();
            // A paused song gives nothing: its notes wait for the resume, and their moments with them.
            if (!songPaused()) {
                if (songIsOver(position)) {
                    if (!goOnAfterSong(position)) endServerRun();
                    continue;  // the next song's clock begins
                }
                sendHeldNotes(position);
                playDueNote(position);
            }
            showStatusLine(std::max(songMsNow(), 0));
        }
        const int64_t untilRoomState = publishRoomStateWhenDue(false);
        netAddress sender;
        int length = receiveMessage(buffer, sizeof buffer, sender);
        const int64_t now = monotonicNanos();
        handleServerDatagram(buffer, length, sender, now);
        // Another datagram may wait behind this one: the loop sleeps only once none does, which
        // spares a flood a wait per datagram. Timed clients are judged only then too, so that a
        // server that was stopped a while reads the requests they sent meanwhile first.
        if (length > 0) continue;
        tendTimedClients(now);
        waitForDatagramOrNote(untilRoomState);
    }
}
