#include "net/broadcast.h"

#include <cstdio>

#include "net/send.h"
#include "shell/run_state.h"

namespace {
const netAddress &broadcastTarget() {
    static const netAddress target("<broadcast>", SERVER_PORT);
    return target;
}
}  // namespace

void sendConnectBroadcast() {
    runState.nextRetryTime = msAfter(elapsedMs(), 1000);
    Message request = connectMessage();
    allowBroadcast();
    printf("Connecting...\n");
    sendMessage(request, broadcastTarget());
    requestBroadcastOff();
}

void runActivateSender() {
    Message activate = activateMessage();
    allowBroadcast();
    for (int i = 0; i < 4; i++) sendMessage(activate, broadcastTarget());
    requestBroadcastOff();
    sendMessage(activate, broadcastTarget());
}
