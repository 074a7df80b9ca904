#include "net/protocol.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

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

void writeStamp(Message &message, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; i++) message.bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
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

Message markedRequest(uint8_t firstByte, uint8_t version) {
    Message message = request(firstByte);
    memcpy(message.bytes + CLOCK_TAG_OFFSET, CLOCK_TAG, sizeof CLOCK_TAG);
    message.bytes[CLOCK_VERSION_OFFSET] = version;
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

Message timedConnectMessage(uint8_t version) {
    return markedRequest(MSG_CONNECT, version);
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

Message welcomeMessage(uint8_t version, int16_t liveLeadMs) {
    const uint8_t spoken = std::min(version, LIVE_PROTOCOL_VERSION);
    return reply(MSG_WELCOME, spoken, spoken >= LIVE_PROTOCOL_VERSION ? liveLeadMs : int16_t{0});
}

Message songEndMessage(int16_t songsToCome) {
    return reply(MSG_SONG_END, songsToCome, 0);
}

Message silenceMessage() {
    return reply(MSG_SILENCE, 0, 0);
}

Message clientReportMessage(uint8_t version, uint32_t roundTripMicros, int lateNotes, int missedNotes) {
    Message message = markedRequest(MSG_CLIENT_REPORT, version);
    message.length = CLIENT_REPORT_LENGTH;
    writeStamp(message, REPORT_ROUND_TRIP_OFFSET, roundTripMicros);
    writeWord(message, REPORT_LATE_OFFSET / 2, static_cast<int16_t>(std::clamp(lateNotes, 0, INT16_MAX)));
    writeWord(message, REPORT_MISSED_OFFSET / 2, static_cast<int16_t>(std::clamp(missedNotes, 0, INT16_MAX)));
    return message;
}

Message clockRequestMessage(uint32_t clientStamp, uint8_t version) {
    Message message = markedRequest(MSG_CLOCK_REQUEST, version);
    message.length = CLOCK_REQUEST_LENGTH;
    writeStamp(message, CLIENT_STAMP_OFFSET, clientStamp);
    return message;
}

Message clockReplyMessage(uint32_t clientStamp, uint32_t serverMicros) {
    Message message = reply(MSG_CLOCK_REPLY, 0, 0);
    message.length = CLOCK_REPLY_LENGTH;
    writeStamp(message, ECHOED_STAMP_OFFSET, clientStamp);
    writeStamp(message, SERVER_TIME_OFFSET, serverMicros);
    return message;
}

namespace {

// A timed note's layout: key, a length, then at byte 6 the server's microsecond.
Message momentMessage(int16_t kind, int16_t key, int16_t toneLength, uint32_t serverMicros) {
    Message message = reply(kind, key, toneLength);
    message.length = TIMED_NOTE_LENGTH;
    writeStamp(message, NOTE_TIME_OFFSET, serverMicros);
    return message;
}

}  // namespace

Message timedNoteMessage(int16_t key, int16_t toneLength, uint32_t serverMicros) {
    return momentMessage(MSG_TIMED_NOTE, key, toneLength, serverMicros);
}

Message noteOffMessage(int16_t key, uint32_t serverMicros) {
    return momentMessage(MSG_NOTE_OFF, key, 0, serverMicros);
}

Message liveSliceMessage(int16_t key, uint32_t serverMicros) {
    return momentMessage(MSG_LIVE_SLICE, key, LIVE_SLICE_MS, serverMicros);
}

int16_t readWord(const uint8_t *buffer, size_t n) {
    uint16_t bits = static_cast<uint16_t>(buffer[2 * n] | (buffer[2 * n + 1] << 8));
    return static_cast<int16_t>(bits);
}

uint32_t readStamp(const uint8_t *buffer, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; i++) value |= static_cast<uint32_t>(buffer[offset + i]) << (8 * i);
    return value;
}

bool carriesClockMark(const uint8_t *buffer) {
    return memcmp(buffer + CLOCK_TAG_OFFSET, CLOCK_TAG, sizeof CLOCK_TAG) == 0 &&
           buffer[CLOCK_VERSION_OFFSET] >= CLOCK_PROTOCOL_VERSION;
}

uint8_t clockVersionOf(const uint8_t *buffer) {
    return carriesClockMark(buffer) ? buffer[CLOCK_VERSION_OFFSET] : 0;
}

ServerRequest classifyServerDatagram(const uint8_t *buffer) {
    if (buffer[0] == MSG_CONNECT) return ServerRequest::Connect;
    if (buffer[0] == MSG_ACTIVATE) return ServerRequest::Activate;
    if (buffer[0] == MSG_CLOCK_REQUEST && carriesClockMark(buffer)) return ServerRequest::ClockRequest;
    if (buffer[0] == MSG_CLIENT_REPORT && carriesClockMark(buffer)) return ServerRequest::ClientReport;
    if (buffer[DISCONNECT_MARK_OFFSET] == MSG_BYE) return ServerRequest::Disconnect;
    return ServerRequest::Other;
}

void sendConnectBroadcast(int protocolVersion) {
    runState.nextRetryTime = msAfter(elapsedMs(), 1000);
    Message request = protocolVersion >= CLOCK_PROTOCOL_VERSION
                          ? timedConnectMessage(static_cast<uint8_t>(protocolVersion))
                          : connectMessage();
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

int keyToFrequency(int key) {
    double hertz = 6.875 * std::pow(2.0, (key + 3) / 12.0);
    // Converting a double beyond the int range (up to infinity for the highest keys) is undefined.
    if (hertz >= static_cast<double>(INT_MAX)) return INT_MAX;
    return static_cast<int>(hertz);
}
