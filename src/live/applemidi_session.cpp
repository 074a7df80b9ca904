#include "live/applemidi_session.h"

#include <cstring>
#include <utility>

namespace {

// Every session command starts with two 0xFF octets, which no RTP packet does (its version is 2),
// then two letters naming it. Numbers are big-endian.
constexpr uint8_t COMMAND_MARK = 0xFF;
constexpr uint32_t SESSION_PROTOCOL_VERSION = 2;

constexpr uint16_t commandOf(char first, char second) {
    return static_cast<uint16_t>((static_cast<uint8_t>(first) << 8) | static_cast<uint8_t>(second));
}
constexpr uint16_t INVITATION = commandOf('I', 'N');
constexpr uint16_t ACCEPTED = commandOf('O', 'K');
constexpr uint16_t REFUSED = commandOf('N', 'O');
constexpr uint16_t GOOD_BYE = commandOf('B', 'Y');
constexpr uint16_t CLOCK = commandOf('C', 'K');
constexpr uint16_t FEEDBACK = commandOf('R', 'S');

// IN, OK, NO, BY: the command, the version, the initiator's token, the sender's SSRC, then in IN
// and OK an optional name ending in a zero octet.
constexpr size_t EXCHANGE_LENGTH = 16;
// CK: the command, the SSRC, the count (0, 1 or 2) and three unused octets, then three 64-bit
// timestamps in units of 100 us: the initiator's at CK0, the responder's at CK1, the initiator's
// at CK2.
constexpr size_t CLOCK_LENGTH = 36;
constexpr size_t CLOCK_COUNT_OFFSET = 8;
constexpr size_t CLOCK_STAMP_OFFSET = 12;
constexpr int64_t MICROS_PER_CLOCK_UNIT = 100;
// RS: the command, the SSRC, the last sequence number taken and two unused octets.

uint32_t bigEndian32(const uint8_t *bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

// A value's low octets, big-endian, at the datagram's end.
void put(LiveDatagram &datagram, uint64_t value, size_t octets) {
    for (size_t i = octets; i-- > 0;) datagram.bytes[datagram.length++] = static_cast<uint8_t>(value >> (8 * i));
}

// A session command to send, its mark and name written; the rest is put after.
LiveDatagram &newCommand(LiveOutput &out, LivePort port, LivePeer to, uint16_t command) {
    out.sends.push_back({port, to, 0, {}});
    LiveDatagram &datagram = out.sends.back();
    put(datagram, COMMAND_MARK, 1);
    put(datagram, COMMAND_MARK, 1);
    put(datagram, command, 2);
    return datagram;
}

// An answer to an invitation, on the port it came on: OK with our name, or NO.
void answerInvitation(const LiveSessions &table, LivePort port, LivePeer to, uint32_t token, bool accepted,
                      LiveOutput &out) {
    LiveDatagram &answer = newCommand(out, port, to, accepted ? ACCEPTED : REFUSED);
    put(answer, SESSION_PROTOCOL_VERSION, 4);
    put(answer, token, 4);
    put(answer, table.ourSsrc, 4);
    if (!accepted) return;
    const size_t nameLength = strlen(table.ourName) + 1;
    memcpy(answer.bytes + answer.length, table.ourName, nameLength);
    answer.length += nameLength;
}

// The session the sender speaks for on that port: its SSRC, its address and the port it joined
// from; on the data port only once joined there.
// cppcheck-suppress constParameter ; the session found is changed through the pointer
LiveSession *sessionOf(LiveSessions &table, LivePort port, LivePeer from, uint32_t ssrc) {
    for (LiveSession &session : table.sessions) {
        if (!session.inUse || session.ssrc != ssrc || session.ip != from.ip) continue;
        if (port == LivePort::CONTROL ? session.controlPort == from.port
                                      : session.began && session.dataPort == from.port) {
            return &session;
        }
    }
    return nullptr;
}

void endSession(LiveSession &session, LiveOutput &out) {
    if (session.began) out.events.push_back({LiveEvent::ENDED, session.id});
    session = {};
}

void inviteOnControl(LiveSessions &table, LivePeer from, uint32_t token, uint32_t ssrc, int64_t nowMicros,
                     LiveOutput &out) {
    LiveSession *known = sessionOf(table, LivePort::CONTROL, from, ssrc);
    if (known != nullptr && known->token == token) {
        // A repeat: our OK was lost or is still on its way.
        answerInvitation(table, LivePort::CONTROL, from, token, true, out);
        return;
    }
    // A new token from the same sender: its program started the session again.
    if (known != nullptr) endSession(*known, out);
    for (LiveSession &session : table.sessions) {
        if (session.inUse) continue;
        session = {};
        session.inUse = true;
        session.id = table.nextId++;
        session.ssrc = ssrc;
        session.token = token;
        session.ip = from.ip;
        session.controlPort = from.port;
        session.heardMicros = nowMicros;
        session.feedbackMicros = nowMicros;
        answerInvitation(table, LivePort::CONTROL, from, token, true, out);
        return;
    }
    answerInvitation(table, LivePort::CONTROL, from, token, false, out);
}

// The second invitation joins the data port of a session the control port accepted.
void inviteOnData(LiveSessions &table, LivePeer from, uint32_t token, uint32_t ssrc, LiveOutput &out) {
    for (LiveSession &session : table.sessions) {
        if (!session.inUse || session.ssrc != ssrc || session.ip != from.ip || session.token != token) continue;
        if (session.began && session.dataPort != from.port) break;
        if (!session.began) {
            session.began = true;
            session.dataPort = from.port;
            out.events.push_back({LiveEvent::BEGAN, session.id});
        }
        answerInvitation(table, LivePort::DATA, from, token, true, out);
        return;
    }
    answerInvitation(table, LivePort::DATA, from, token, false, out);
}

void clockExchange(LiveSessions &table, LivePort port, LivePeer from, const uint8_t *bytes, int64_t nowMicros,
                   LiveOutput &out) {
    LiveSession *session = sessionOf(table, port, from, bigEndian32(bytes + 4));
    const uint8_t count = bytes[CLOCK_COUNT_OFFSET];
    if (session == nullptr || count == 1 || count > 2) return;
    session->heardMicros = nowMicros;
    if (count == 2) {
        session->clockExchanges++;
        return;
    }
    LiveDatagram &reply = newCommand(out, port, from, CLOCK);
    put(reply, table.ourSsrc, 4);
    put(reply, 1, 1);  // the count
    put(reply, 0, 3);
    for (size_t i = 0; i < 8; i++) put(reply, bytes[CLOCK_STAMP_OFFSET + i], 1);
    put(reply, static_cast<uint64_t>(nowMicros / MICROS_PER_CLOCK_UNIT), 8);
    put(reply, 0, 8);
}

void sessionCommand(LiveSessions &table, LivePort port, LivePeer from, const uint8_t *bytes, size_t length,
                    int64_t nowMicros, LiveOutput &out) {
    const uint16_t command = static_cast<uint16_t>((bytes[2] << 8) | bytes[3]);
    if (command == CLOCK) {
        if (length >= CLOCK_LENGTH) clockExchange(table, port, from, bytes, nowMicros, out);
        return;
    }
    // An RS (a peer's receiver feedback) tells nothing we keep; OK and NO answer invitations, and
    // we invite no one.
    if ((command != INVITATION && command != GOOD_BYE) || length < EXCHANGE_LENGTH) return;
    const uint32_t token = bigEndian32(bytes + 8);
    const uint32_t ssrc = bigEndian32(bytes + 12);
    if (command == GOOD_BYE) {
        LiveSession *session = sessionOf(table, port, from, ssrc);
        if (session != nullptr) endSession(*session, out);
    } else if (bigEndian32(bytes + 4) != SESSION_PROTOCOL_VERSION) {
        answerInvitation(table, port, from, token, false, out);
    } else if (port == LivePort::CONTROL) {
        inviteOnControl(table, from, token, ssrc, nowMicros, out);
    } else {
        inviteOnData(table, from, token, ssrc, out);
    }
}

void dataPacket(LiveSessions &table, LivePeer from, const uint8_t *bytes, size_t length, LiveOutput &out) {
    RtpMidiPacket packet;
    if (!readRtpMidiPacket(bytes, length, packet)) return;
    LiveSession *session = sessionOf(table, LivePort::DATA, from, packet.ssrc);
    if (session == nullptr) return;
    const SequenceStep step =
        session->sequenceKnown ? sequenceStepOf(session->lastSequence, packet.sequence) : SequenceStep::NEXT;
    if (step == SequenceStep::STALE) return;
    session->sequenceKnown = true;
    session->lastSequence = packet.sequence;
    session->feedbackDue = true;
    const bool lost = step == SequenceStep::JUMPED;
    if (lost || !packet.notes.empty()) {
        out.notes.push_back({session->id, packet.sequence, lost, std::move(packet.notes)});
    }
}

}  // namespace

void startLiveSessions(LiveSessions &table, uint32_t ourSsrc, const char *ourName) {
    table = {};
    table.ourSsrc = ourSsrc;
    size_t length = strlen(ourName);
    if (length >= LIVE_NAME_LENGTH) {
        length = LIVE_NAME_LENGTH - 1;
        // Cut before a UTF-8 character, not inside one.
        while (length > 0 && (static_cast<uint8_t>(ourName[length]) & 0xC0) == 0x80) length--;
    }
    memcpy(table.ourName, ourName, length);
}

void handleLiveDatagram(LiveSessions &table, LivePort port, LivePeer from, const uint8_t *bytes, size_t length,
                        int64_t nowMicros, LiveOutput &out) {
    if (length >= 4 && bytes[0] == COMMAND_MARK && bytes[1] == COMMAND_MARK) {
        sessionCommand(table, port, from, bytes, length, nowMicros, out);
    } else if (port == LivePort::DATA) {
        dataPacket(table, from, bytes, length, out);
    }
}

void tendLiveSessions(LiveSessions &table, int64_t nowMicros, LiveOutput &out) {
    for (LiveSession &session : table.sessions) {
        if (session.inUse && nowMicros - session.heardMicros >= LIVE_SILENCE_LIMIT_MICROS) endSession(session, out);
    }
}

void endLiveSessions(LiveSessions &table, LiveOutput &out) {
    for (LiveSession &session : table.sessions) {
        if (!session.inUse) continue;
        for (LivePort port : {LivePort::CONTROL, LivePort::DATA}) {
            if (port == LivePort::DATA && !session.began) continue;
            const LivePeer peer = {session.ip, port == LivePort::CONTROL ? session.controlPort : session.dataPort};
            LiveDatagram &goodBye = newCommand(out, port, peer, GOOD_BYE);
            put(goodBye, SESSION_PROTOCOL_VERSION, 4);
            put(goodBye, session.token, 4);
            put(goodBye, table.ourSsrc, 4);
        }
        endSession(session, out);
    }
}

void addLiveFeedback(LiveSessions &table, int64_t nowMicros, LiveOutput &out) {
    for (LiveSession &session : table.sessions) {
        if (!session.inUse || !session.feedbackDue ||
            nowMicros - session.feedbackMicros < LIVE_FEEDBACK_INTERVAL_MICROS) {
            continue;
        }
        session.feedbackDue = false;
        session.feedbackMicros = nowMicros;
        LiveDatagram &feedback = newCommand(out, LivePort::CONTROL, {session.ip, session.controlPort}, FEEDBACK);
        put(feedback, table.ourSsrc, 4);
        put(feedback, session.lastSequence, 2);
        put(feedback, 0, 2);
    }
}
