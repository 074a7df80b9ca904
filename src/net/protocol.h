#pragma once
// Every datagram that travels between instances of the program, declared once.
// All 16-bit fields are little-endian; word n is the 16-bit field at byte offset 2n.
#include <cstddef>
#include <cstdint>

constexpr int SERVER_PORT = 27000;

// Requests (to the server) are told apart by byte 0; replies (to a client) by word 0.
constexpr uint8_t MSG_CONNECT = 0xFF;
constexpr uint8_t MSG_ACTIVATE = 0xFE;
constexpr int16_t MSG_ASSIGN_ID = 2;
constexpr int16_t MSG_NOTE = 4;
constexpr int16_t MSG_BYE = 5;

constexpr int REQUEST_LENGTH = 10;  // connect, activate, client disconnect
constexpr int REPLY_LENGTH = 6;     // assign id, note, server good-bye
constexpr int SERVER_RECEIVE_BUFFER = 1400;
constexpr int CLIENT_RECEIVE_BUFFER = 256;

// Byte 2 of a client's disconnect; word 0 carries the client's id.
constexpr int DISCONNECT_MARK_OFFSET = 2;

struct Message {
    uint8_t bytes[REQUEST_LENGTH];
    int length;
};

Message connectMessage();
Message activateMessage();
Message assignIdMessage(int16_t id);
Message noteMessage(int16_t key, int16_t toneLength);
Message serverByeMessage();
Message clientDisconnectMessage(int16_t ownId);

// Word n of a received buffer, as a signed number; the buffer must hold at least 2n + 2 bytes.
int16_t readWord(const uint8_t *buffer, size_t n);

enum class ServerRequest { Connect, Activate, Disconnect, Other };
ServerRequest classifyServerDatagram(const uint8_t *buffer);

// The client's connect request to every server on the network; sets the next retry time.
void sendConnectBroadcast();

// The "-a" mode: tells a waiting server to begin. Sends the activate datagram five times.
void runActivateSender();
