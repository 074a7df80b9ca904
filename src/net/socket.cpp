#include "net/socket.h"

#include "platform/clock.h"
#include "shell/run_state.h"

namespace {
bool socketIsOpen() {
    return runState.socket->getHandle() != -1;
}
}  // namespace

bool bindSocket(int port) {
    return socketIsOpen() && runState.socket->bind("", port) == 0;
}

void sendMessage(const Message &message, const netAddress &to) {
    if (socketIsOpen()) runState.socket->sendto(message.bytes, message.length, 0, &to);
}

int receiveMessage(uint8_t *buffer, int size, netAddress &sender) {
    if (!socketIsOpen()) return -1;
    return runState.socket->recvfrom(buffer, size, 0, &sender);
}

bool sameEndpoint(const netAddress &a, const netAddress &b) {
    return a.getFamily() == b.getFamily() && a.getIP() == b.getIP() && a.getPort() == b.getPort();
}

void allowBroadcast() {
    if (socketIsOpen()) runState.socket->setBroadcast(true);
}

void requestBroadcastOff() {
    setEmptyBroadcastOption(runState.socket->getHandle());
}

int socketHandle() {
    return runState.socket->getHandle();
}
