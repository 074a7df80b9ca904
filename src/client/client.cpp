#include "client/client.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>

#include "client/timed_tones.h"
#include "net/protocol.h"
#include "net/room_clock.h"
#include "net/socket.h"
#include "platform/clock.h"
#include "platform/speaker.h"
#include "shell/run_state.h"
#include "shell/shutdown.h"

namespace {

constexpr int32_t INACTIVITY_LIMIT_MS = 60000;

// Right after the welcome a burst of clock requests gives the room's clock before the song
// starts; four a second then follow the drift and keep the client alive through long rests.
constexpr int CLOCK_BURST = 64;
constexpr int64_t BURST_SPACING_NANOS = 5 * NANOS_PER_MILLI;
constexpr int64_t CLOCK_REQUEST_SPACING_NANOS = NANOS_PER_SECOND / 4;

// A server lets go of a client that keeps the room's clock after 10 s without a clock request
// from it: a client whose requests went unanswered that long (it slept, or its link was down) has
// likely been let go, and asks its own server for a slot again, as often as a connect is retried.
constexpr int64_t UNANSWERED_LIMIT_NANOS = 10 * NANOS_PER_SECOND;
constexpr int64_t REJOIN_SPACING_NANOS = NANOS_PER_SECOND;

// A client of the concert tells its server how it fares this often.
constexpr int64_t REPORT_SPACING_NANOS = NANOS_PER_SECOND;

// Times on the boot clock, as the room's clock is kept.
struct ClockTalk {
    bool started;  // the server has welcomed the client: it speaks the room's clock
    int burstLeft;
    int64_t nextRequest;
    int64_t lastAnswer;  // the start of the talk, the newest reply that counted or id
    int64_t lastRejoin;  // the newest connect request sent again, or the start of the talk
    bool serverQuit;     // its good-bye came while timed tones still waited
    int welcomedAs;      // the version of the server's newest welcome; 0 before any
    int64_t nextReport;
};
ClockTalk clockTalk = {};

bool knowsRoomClock() {
    return runState.protocolVersion >= CLOCK_PROTOCOL_VERSION;
}

// The concert's kinds are taken only by a client of its version, and its report sent only to a
// server whose welcome says it knows them.
bool knowsConcert() {
    return runState.protocolVersion >= CONCERT_PROTOCOL_VERSION;
}

// A live note's end is taken only by a client of the live version.
bool knowsLive() {
    return runState.protocolVersion >= LIVE_PROTOCOL_VERSION;
}

bool speaksConcert() {
    return knowsConcert() && clockTalk.welcomedAs >= CONCERT_PROTOCOL_VERSION;
}

uint32_t ownMicros(int64_t nanos) {
    return static_cast<uint32_t>(nanos / 1000);
}

void startClockTalk() {
    if (!knowsRoomClock() || clockTalk.started) return;
    clockTalk.started = true;
    clockTalk.burstLeft = CLOCK_BURST;
    clockTalk.nextRequest = clockTalk.lastAnswer = clockTalk.lastRejoin = bootNanos();
    clockTalk.nextReport = clockTalk.nextRequest + REPORT_SPACING_NANOS;
}

void takeWelcome(int16_t version, int16_t liveLeadMs) {
    clockTalk.welcomedAs = version;
    // In a room that plays live, a note may come only the live lead ahead of its moment.
    if (knowsLive() && version >= LIVE_PROTOCOL_VERSION && liveLeadMs > 0) {
        expectTonesAhead(static_cast<int64_t>(liveLeadMs) * NANOS_PER_MILLI);
    }
    startClockTalk();
}

// Sends the clock request that is due, if any; returns the nanoseconds until the next one.
int64_t askTheTimeWhenDue(int64_t now) {
    if (now >= clockTalk.nextRequest) {
        sendMessage(clockRequestMessage(ownMicros(now), static_cast<uint8_t>(runState.protocolVersion)),
                    runState.serverAddress);
        recordClockRequest(ownMicros(now), now);
        const bool bursting = clockTalk.burstLeft > 0 && --clockTalk.burstLeft > 0;
        clockTalk.nextRequest = now + (bursting ? BURST_SPACING_NANOS : CLOCK_REQUEST_SPACING_NANOS);
    }
    return clockTalk.nextRequest - now;
}

// While clock requests go unanswered, sends the timed connect to the own server (not to everyone:
// the client stays with it) when due; returns the nanoseconds until the next one may be.
int64_t rejoinWhenUnanswered(int64_t now) {
    const int64_t due =
        std::max(clockTalk.lastAnswer + UNANSWERED_LIMIT_NANOS, clockTalk.lastRejoin + REJOIN_SPACING_NANOS);
    if (now < due) return due - now;
    sendMessage(timedConnectMessage(static_cast<uint8_t>(runState.protocolVersion)), runState.serverAddress);
    clockTalk.lastRejoin = now;
    return REJOIN_SPACING_NANOS;
}

// Sends the report when due, once the room's clock is known; returns the nanoseconds until the
// next, or -1 while there is none to send.
int64_t reportWhenDue(int64_t now) {
    if (!speaksConcert() || !roomClockKnown()) return -1;
    if (now >= clockTalk.nextReport) {
        const LateTones late = lateTones();
        const auto roundTripMicros = static_cast<uint32_t>(roomClockEstimate().shortestRoundTripNanos / 1000);
        sendMessage(clientReportMessage(CONCERT_PROTOCOL_VERSION, roundTripMicros, late.shortened + late.playedLate,
                                        late.missed),
                    runState.serverAddress);
        clockTalk.nextReport = now + REPORT_SPACING_NANOS;
    }
    return clockTalk.nextReport - now;
}

// Those played late but whole, for a line that counts late notes; nothing where there were none.
std::string playedLateText(const LateTones &late) {
    return late.playedLate > 0 ? ", " + std::to_string(late.playedLate) + " played late" : "";
}

void tellTheClock() {
    const RoomClockEstimate estimate = roomClockEstimate();
    const LateTones late = lateTones();
    fprintf(stderr,
            "Clock: offset %+.3f ms, drift %+.1f ppm, shortest round trip %.3f ms, %d exchanges; "
            "late notes: %d shortened, %d missed%s\n",
            static_cast<double>(estimate.offsetNanos) / 1e6, estimate.driftPpm,
            static_cast<double>(estimate.shortestRoundTripNanos) / 1e6, estimate.exchanges, late.shortened, late.missed,
            playedLateText(late).c_str());
}

void takeClockReply(const uint8_t *buffer) {
    const int64_t received = bootNanos();
    if (!addClockReply(readStamp(buffer, ECHOED_STAMP_OFFSET), readStamp(buffer, SERVER_TIME_OFFSET), received)) return;
    clockTalk.lastAnswer = received;
    if (runState.showClock && clockTalk.burstLeft == 0) tellTheClock();
}

// A timed note shows that the server keeps the room's clock even where its welcome was lost.
void takeTimedNote(const uint8_t *buffer, bool liveSlice) {
    if (!knowsRoomClock()) return;
    startClockTalk();
    queueTimedTone(readWord(buffer, 1), readWord(buffer, 2), readStamp(buffer, NOTE_TIME_OFFSET), liveSlice);
}

void takeNoteOff(const uint8_t *buffer) {
    if (!knowsLive()) return;
    endTimedTone(readWord(buffer, 1), readStamp(buffer, NOTE_TIME_OFFSET));
}

// The song's late notes, where there were any.
void tellLateNotes() {
    const LateTones late = lateTones();
    if (late.shortened + late.missed + late.playedLate > 0) {
        fprintf(stderr, "Notes that came after their moment: %d played shortened, %d missed%s.\n", late.shortened,
                late.missed, playedLateText(late).c_str());
    }
}

// The server's good-bye ends the run, once every tone it gave ahead has been handed on.
void serverQuit() {
    missTonesWithoutClock();
    if (timedTonesWaiting()) {
        clockTalk.serverQuit = true;
        return;
    }
    tellLateNotes();
    printf("Server quit.\n");
    shutdownAndExit();
}

// A song ended and the room stays for the next: its late notes were counted as they came, and the
// next song's count starts from nothing. Its own last tones still play.
void songEnded() {
    if (!knowsConcert()) return;
    tellLateNotes();
    forgetLateTones();
}

// A pause or a seek: what sounds stops now, and what was given ahead is no longer the song's.
void silenced() {
    if (!knowsConcert()) return;
    forgetTimedTones();
    silenceSpeaker();
}

void takeId(int16_t id) {
    printf("Connected! Got id: %d\n", id);
    // Shown at once even when the output is a pipe, as a watching program waits for this line.
    fflush(stdout);
    runState.ownId = id;
    runState.connected = 1;
    clockTalk.lastAnswer = bootNanos();
    // The device is opened now, before the song begins, so that no note waits for it.
    prepareSpeaker();
}

void playNote(int16_t key, int16_t length) {
    // The speaker refuses, at once, a length of 0 or less (a foreign sender's or a note shorter
    // than the server's margin) and a key whose frequency it cannot play.
    beep(keyToFrequency(key), length);
    fflush(nullptr);
}

// After its first id the client belongs to the server that gave it: another server's id is handed
// back at once with a disconnect, so that server frees the slot, and anything else from anyone
// but the own server is ignored. Until then every sender counts as the server.
bool fromOwnServer(const uint8_t *buffer, const netAddress &sender) {
    if (!runState.connected) {
        runState.serverAddress = sender;
        return true;
    }
    if (sameEndpoint(sender, runState.serverAddress)) return true;
    if (readWord(buffer, 0) == MSG_ASSIGN_ID) {
        sendMessage(clientDisconnectMessage(readWord(buffer, 1)), sender);
    }
    return false;
}

}  // namespace

int64_t keepClockTalkGoing() {
    if (!clockTalk.started) return -1;
    const int64_t now = bootNanos();
    const int64_t untilRequest = askTheTimeWhenDue(now);
    // A server that has said good-bye is not asked for a slot again, nor told how the client fares.
    if (clockTalk.serverQuit) return untilRequest;
    int64_t untilNext = std::min(untilRequest, rejoinWhenUnanswered(now));
    const int64_t untilReport = reportWhenDue(now);
    if (untilReport >= 0) untilNext = std::min(untilNext, untilReport);
    return untilNext;
}

int clientIdleMs(int32_t now, bool connected, int32_t nextRetryTime, int32_t deadline) {
    int64_t idle = msUntil(deadline, now);
    if (!connected) idle = std::min<int64_t>(idle, int64_t{msUntil(nextRetryTime, now)} + 1);
    return static_cast<int>(std::max<int64_t>(idle, 0));
}

void actOnServerDatagram(const uint8_t *buffer) {
    switch (readWord(buffer, 0)) {
        case MSG_ASSIGN_ID: takeId(readWord(buffer, 1)); break;
        case MSG_NOTE: playNote(readWord(buffer, 1), readWord(buffer, 2)); break;
        case MSG_BYE: serverQuit(); break;
        case MSG_WELCOME: takeWelcome(readWord(buffer, 1), readWord(buffer, 2)); break;
        case MSG_CLOCK_REPLY: takeClockReply(buffer); break;
        case MSG_TIMED_NOTE: takeTimedNote(buffer, false); break;
        case MSG_LIVE_SLICE:
            if (knowsLive()) takeTimedNote(buffer, true);
            break;
        case MSG_SONG_END: songEnded(); break;
        case MSG_SILENCE: silenced(); break;
        case MSG_NOTE_OFF: takeNoteOff(buffer); break;
        default: break;
    }
}

void runClientLoop() {
    if (!bindSocket(0)) {
        printf("CL: couldn't bind client in port\n");
        return;
    }
    runState.connected = 0;
    requestPreciseWakeups();
    sendConnectBroadcast(runState.protocolVersion);
    // On the uptime clock, so that a client stopped or asleep for a minute ends as soon as it wakes.
    runState.inactivityDeadline = msAfter(uptimeMs(), INACTIVITY_LIMIT_MS);
    for (;;) {
        if (stopRequested()) shutdownAndExit();
        int32_t now = elapsedMs();
        int32_t uptime = uptimeMs();
        // Retried once a second until an id comes.
        if (!runState.connected && msUntil(runState.nextRetryTime, now) < 0)
            sendConnectBroadcast(runState.protocolVersion);
        // Cleared each time, so the fields a short datagram leaves out read as zero.
        uint8_t buffer[CLIENT_RECEIVE_BUFFER] = {};
        netAddress sender;
        int received = receiveMessage(buffer, sizeof buffer, sender);
        if (received > 0 && fromOwnServer(buffer, sender)) {
            runState.inactivityDeadline = msAfter(uptime, INACTIVITY_LIMIT_MS);
            actOnServerDatagram(buffer);
        }
        const int32_t msToDeadline = msUntil(runState.inactivityDeadline, uptime);
        if (msToDeadline <= 0) return;
        const int64_t untilTone = playNearTimedTones();
        if (clockTalk.serverQuit && !timedTonesWaiting()) serverQuit();
        const int64_t untilRequest = keepClockTalkGoing();
        // Datagrams queued behind a tone are taken back to back; only an empty socket waits, so
        // that an idle client costs next to no processor time: it wakes only when a running sound
        // stream needs more silence, about every 10 ms, or a timed tone or clock request is due.
        const int speakerMs = keepSpeakerRunning();
        if (received <= 0) {
            int idleMs = clientIdleMs(now, runState.connected, runState.nextRetryTime, msAfter(now, msToDeadline));
            if (speakerMs >= 0) idleMs = std::min(idleMs, speakerMs);
            int64_t idleNanos = idleMs * NANOS_PER_MILLI;
            for (int64_t due : {untilTone, untilRequest}) {
                if (due >= 0) idleNanos = std::min(idleNanos, due);
            }
            waitForSocket(socketHandle(), idleNanos);
        }
    }
}
