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

// The room's clock, spoken only between peers that both know it. A client that knows it marks its
// connect request in bytes 1 to 9, which older programs send as zero and never read: a tag no
// stray value matches by chance, then the version. A server that reads the mark sends a welcome
// after the id; only then does the client ask for the server's time, and only then are its notes
// sent ahead with their time. Older peers on either side never see any of it.
constexpr uint8_t CLOCK_TAG[8] = {'t', 'o', 'n', 'e', 'c', 'l', 'k', 0xA7};
constexpr uint8_t CLOCK_PROTOCOL_VERSION = 2;
constexpr size_t CLOCK_TAG_OFFSET = 1;
constexpr size_t CLOCK_VERSION_OFFSET = 9;
// A clock request: byte 0, then the tag and version as in the connect, then the client's own
// stamp (4 bytes), which the reply echoes.
constexpr uint8_t MSG_CLOCK_REQUEST = 0xFD;
constexpr int CLOCK_REQUEST_LENGTH = 14;
constexpr size_t CLIENT_STAMP_OFFSET = 10;
// Replies to a client that knows the clock, word 0 their kind like any reply:
// a timed note: key, tone length, then at byte 6 the server's microsecond at which it sounds;
constexpr int16_t MSG_TIMED_NOTE = 6;
constexpr int TIMED_NOTE_LENGTH = 10;
constexpr size_t NOTE_TIME_OFFSET = 6;
// the welcome, after the id: word 1 the server's version; of version 4, word 2 how many milliseconds
// ahead of their moment live notes come (0 in a room that plays nothing live);
constexpr int16_t MSG_WELCOME = 7;
// a clock reply: at byte 4 the client's stamp, at byte 8 the server's microsecond.
constexpr int16_t MSG_CLOCK_REPLY = 8;
constexpr int CLOCK_REPLY_LENGTH = 12;
constexpr size_t ECHOED_STAMP_OFFSET = 4;
constexpr size_t SERVER_TIME_OFFSET = 8;
// The concert (version 3), spoken only between peers that both know it: a client of this version
// says so in its connect's version byte, and a server of this version says so in the welcome it
// sends such a client (an older client still gets the welcome of version 2). Then
constexpr uint8_t CONCERT_PROTOCOL_VERSION = 3;
// the server tells the client that a song ended and another follows (word 1: how many are still
// to come), so that it stays and waits for the next;
constexpr int16_t MSG_SONG_END = 9;
// and that the room is silenced (a pause, a seek): the tone sounding stops at once and every note
// given ahead that has not begun is forgotten;
constexpr int16_t MSG_SILENCE = 10;
// the client reports how its clock and notes fare, once a second: byte 0, the mark as in its
// connect, then the shortest round trip of its recent exchanges in microseconds (4 bytes), the
// notes that came after their moment and the notes missed in this song (2 bytes each, saturated).
constexpr uint8_t MSG_CLIENT_REPORT = 0xFC;
constexpr int CLIENT_REPORT_LENGTH = 18;
constexpr size_t REPORT_ROUND_TRIP_OFFSET = 10;
constexpr size_t REPORT_LATE_OFFSET = 14;
constexpr size_t REPORT_MISSED_OFFSET = 16;
// Live playing (version 4): a note's length is not known when it starts, so it is given in slices
// of LIVE_SLICE_MS, each a timed note that begins where the one before ends. A client of version 4
// gets them as live slices, laid out as a timed note, and carries its tone on across such a join (a
// song's notes of one key, one after the other, stay tones of their own); and it is told when the
// note ends: key, 0, then at byte 6 the server's microsecond at which the tone stops.
constexpr uint8_t LIVE_PROTOCOL_VERSION = 4;
constexpr int16_t MSG_NOTE_OFF = 11;
constexpr int16_t MSG_LIVE_SLICE = 12;
constexpr int32_t LIVE_SLICE_MS = 200;
constexpr int LONGEST_MESSAGE = 18;
// No note is sent further ahead than this; a client takes one that claims to be as stray.
constexpr int32_t LONGEST_LEAD_MS = 10000;
constexpr int SERVER_RECEIVE_BUFFER = 1400;
constexpr int CLIENT_RECEIVE_BUFFER = 256;

// Byte 2 of a client's disconnect; word 0 carries the client's id.
constexpr int DISCONNECT_MARK_OFFSET = 2;

struct Message {
    uint8_t bytes[LONGEST_MESSAGE];
    int length;
};

Message connectMessage();
// The connect request of a client that knows the room's clock, of its version (2 to 4).
Message timedConnectMessage(uint8_t version);
Message activateMessage();
Message assignIdMessage(int16_t id);
Message noteMessage(int16_t key, int16_t toneLength);
Message serverByeMessage();
Message clientDisconnectMessage(int16_t ownId);
// Of the version both sides know: the client's, or the server's own if that is older; the live lead
// is told from version 4 on.
Message welcomeMessage(uint8_t version, int16_t liveLeadMs);
Message songEndMessage(int16_t songsToCome);
Message silenceMessage();
Message clientReportMessage(uint8_t version, uint32_t roundTripMicros, int lateNotes, int missedNotes);
// Times are microseconds of the sender's own clock, kept to 32 bits: they wrap every 71 minutes,
// so a reader takes them as the moment nearest to one it knows.
Message clockRequestMessage(uint32_t clientStamp, uint8_t version);
Message clockReplyMessage(uint32_t clientStamp, uint32_t serverMicros);
Message timedNoteMessage(int16_t key, int16_t toneLength, uint32_t serverMicros);
Message noteOffMessage(int16_t key, uint32_t serverMicros);
Message liveSliceMessage(int16_t key, uint32_t serverMicros);

// The tone a note's key is played at: equal temperament with key 69 at 440 Hz, truncated to whole
// hertz. Any 16-bit key is safe: keys far below the audible range give 0, and frequencies too
// large for an int give INT_MAX.
int keyToFrequency(int key);

// Word n of a received buffer, as a signed number; the buffer must hold at least 2n + 2 bytes.
int16_t readWord(const uint8_t *buffer, size_t n);
// The little-endian 32-bit field at the byte offset.
uint32_t readStamp(const uint8_t *buffer, size_t offset);
// Whether bytes 1 to 9 of a request carry the clock's tag and a version that knows it.
bool carriesClockMark(const uint8_t *buffer);
// That version, or 0 when the request carries no mark.
uint8_t clockVersionOf(const uint8_t *buffer);

enum class ServerRequest { Connect, Activate, Disconnect, ClockRequest, ClientReport, Other };
ServerRequest classifyServerDatagram(const uint8_t *buffer);

// The client's connect request to every server on the network; sets the next retry time.
// The request is the timed one of the client's version unless it plays as an older one (1).
void sendConnectBroadcast(int protocolVersion);

// The "-a" mode: tells a waiting server to begin. Sends the activate datagram five times.
void runActivateSender();
