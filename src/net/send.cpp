#include "net/send.h"

#include <sys/socket.h>

#include "shell/run_state.h"

void sendMessage(const Message &message, const netAddress &to) {
    runState.socket->sendto(message.bytes, message.length, 0, &to);
}

void allowBroadcast() {
    runState.socket->setBroadcast(true);
}

void requestBroadcastOff() {
    (void)setsockopt(runState.socket->getHandle(), SOL_SOCKET, SO_BROADCAST, nullptr, 0);
}
