#include "net/client_loop.h"

#include <cstdio>

#include "net/broadcast.h"
#include "net/client_datagram.h"
#include "net/client_timing.h"
#include "net/client_wait.h"
#include "net/protocol.h"
#include "net/send.h"
#include "shell/run_state.h"

namespace {

constexpr int32_t INACTIVITY_LIMIT_MS = 60000;

}  // namespace

void runClientLoop() {
    if (!bindSocket(0)) {
        printf("CL: couldn't bind client in port\n");
        return;
    }
    runState.connected = 0;
    sendConnectBroadcast();
    runState.inactivityDeadline = msAfter(elapsedMs(), INACTIVITY_LIMIT_MS);
    for (;;) {
        int32_t now = elapsedMs();
        if (!runState.connected && msUntil(runState.nextRetryTime, now) < 0) sendConnectBroadcast();
        // Cleared each time, so the fields a short datagram leaves out read as zero.
        uint8_t buffer[CLIENT_RECEIVE_BUFFER] = {};
        int received = runState.socket->recvfrom(buffer, sizeof buffer, 0, &runState.serverAddress);
        if (received > 0) {
            runState.inactivityDeadline = msAfter(now, INACTIVITY_LIMIT_MS);
            actOnServerDatagram(buffer);
        }
        if (msUntil(runState.inactivityDeadline, now) <= 0) return;
        // Datagrams queued behind a tone are taken back to back; only an empty socket waits.
        if (received <= 0) {
            waitForDatagram(clientIdleMs(now, runState.connected, runState.nextRetryTime,
                                         runState.inactivityDeadline));
        }
    }
}
