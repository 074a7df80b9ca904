#include "net/client.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include "net/protocol.h"
#include "net/socket.h"
#include "platform/clock.h"
#include "platform/speaker.h"
#include "shell/run_state.h"
#include "shell/shutdown.h"

namespace {

constexpr int32_t INACTIVITY_LIMIT_MS = 60000;

void takeId(int16_t id) {
    printf("Connected! Got id: %d\n", id);
    // Shown at once even when the output is a pipe, as a watching program waits for this line.
    fflush(stdout);
    runState.ownId = id;
    runState.connected = 1;
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

int keyToFrequency(int key) {
    double hertz = 6.875 * std::pow(2.0, (key + 3) / 12.0);
    // Converting a double beyond the int range (up to infinity for the highest keys) is undefined.
    if (hertz >= static_cast<double>(INT_MAX)) return INT_MAX;
    return static_cast<int>(hertz);
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
        case MSG_BYE: printf("Server quit.\n"); shutdownAndExit();
        default: break;
    }
}

void runClientLoop() {
    if (!bindSocket(0)) {
        printf("CL: couldn't bind client in port\n");
        return;
    }
    runState.connected = 0;
    sendConnectBroadcast();
    // On the uptime clock, so that a client stopped or asleep for a minute ends as soon as it wakes.
    runState.inactivityDeadline = msAfter(uptimeMs(), INACTIVITY_LIMIT_MS);
    for (;;) {
        if (stopRequested()) shutdownAndExit();
        int32_t now = elapsedMs();
        int32_t uptime = uptimeMs();
        // Retried once a second until an id comes.
        if (!runState.connected && msUntil(runState.nextRetryTime, now) < 0) sendConnectBroadcast();
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
        // Datagrams queued behind a tone are taken back to back; only an empty socket waits, so
        // that an idle client costs next to no processor time: it wakes only when a running sound
        // stream needs more silence, about every 10 ms.
        const int speakerMs = keepSpeakerRunning();
        if (received <= 0) {
            int idleMs = clientIdleMs(now, runState.connected, runState.nextRetryTime, msAfter(now, msToDeadline));
            if (speakerMs >= 0) idleMs = std::min(idleMs, speakerMs);
            waitForSocket(socketHandle(), idleMs * NANOS_PER_MILLI);
        }
    }
}
