#include "net/protocol.h"

#include <cstdio>

#include "net/socket.h"
#include "platform/clock.h"
#include "shell/run_state.h"

namespace {

// Written byte by byte so the layout does not depend on the host's byte order.
void writeWord(Message &message, size_t n, int16_t value) {
    uint16_t bits = static_cast<uint16_t>(value);
    message.bytes[2 * n] = static_cast<uint8_t>(bits & 0xFF);
    message.bytes[2 * n + 1] = static_cast<uint8_t>(bits >> 8);
}

Message request(uint8_t firstByte) {
    Message message = {};
    message.length = REQUEST_LENGTH;
    message.bytes[0] = firstByte;
    return message;
}

Message reply(int16_t kind, int16_t word1, int16_t word2) {
    Message message = {};
    message.length = REPLY_LENGTH;
    writeWord(message, 0, kind);
    writeWord(message, 1, word1);
    writeWord(message, 2, word2);
    return message;
}

const netAddress &broadcastTarget() {
    static const netAddress target("<broadcast>", SERVER_PORT);
    return target;
}

}  // namespace

Message connectMessage() {
    return request(MSG_CONNECT);
}

Message activateMessage() {
    return request(MSG_ACTIVATE);
}

Message assignIdMessage(int16_t id) {
    return reply(MSG_ASSIGN_ID, id, 0);
}

Message noteMessage(int16_t key, int16_t toneLength) {
    return reply(MSG_NOTE, key, toneLength);
}

Message serverByeMessage() {
    return reply(MSG_BYE, 0, 0);
}

Message clientDisconnectMessage(int16_t ownId) {
    Message message = request(0);
    writeWord(message, 0, ownId);
    message.bytes[DISCONNECT_MARK_OFFSET] = static_cast<uint8_t>(MSG_BYE);
    return message;
}

int16_t readWord(const uint8_t *buffer, size_t n) {
    uint16_t bits = static_cast<uint16_t>(buffer[2 * n] | (buffer[2 * n + 1] << 8));
    return static_cast<int16_t>(bits);
}

ServerRequest classifyServerDatagram(const uint8_t *buffer) {
    if (buffer[0] == MSG_CONNECT) return ServerRequest::Connect;
    if (buffer[0] == MSG_ACTIVATE) return ServerRequest::Activate;
    if (buffer[DISCONNECT_MARK_OFFSET] == MSG_BYE) return ServerRequest::Disconnect;
    return ServerRequest::Other;
}

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
