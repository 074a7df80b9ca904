#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "live/applemidi_session.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int64_t SECOND = 1000000;
constexpr uint32_t OURS = 0x0A0B0C0D;
constexpr LivePeer MAC_CONTROL = {0xC0A80105, 5008};
constexpr LivePeer MAC_DATA = {0xC0A80105, 5009};

// IN, BY and the like as a peer's program sends them: command, version 2, token, SSRC, name.
Bytes exchange(char a, char b, uint32_t token, uint32_t ssrc) {
    Bytes bytes = {0xFF, 0xFF, uint8_t(a), uint8_t(b), 0, 0, 0, 2};
    for (uint32_t value : {token, ssrc}) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(uint8_t(value >> shift));
    }
    if (a == 'I') bytes.insert(bytes.end(), {'M', 'a', 'c', 0});
    return bytes;
}

// An RTP-MIDI packet: the header, then the command section as given.
Bytes rtp(uint16_t sequence, const Bytes &section, uint32_t ssrc = 0x11223344) {
    Bytes bytes = {0x80, 0x61, uint8_t(sequence >> 8), uint8_t(sequence), 0, 0, 0x10, 0};
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(uint8_t(ssrc >> shift));
    bytes.insert(bytes.end(), section.begin(), section.end());
    return bytes;
}

struct Room {
    LiveSessions table;
    LiveOutput out;
    Room() { startLiveSessions(table, OURS, "tonecast room"); }
    const LiveOutput &send(LivePort port, LivePeer from, const Bytes &bytes, int64_t now = 0) {
        out = {};
        handleLiveDatagram(table, port, from, bytes.data(), bytes.size(), now, out);
        return out;
    }
    // Both invitations of a session, accepted; its id.
    uint32_t join(LivePeer control, LivePeer data, uint32_t ssrc) {
        send(LivePort::CONTROL, control, exchange('I', 'N', 7, ssrc));
        send(LivePort::DATA, data, exchange('I', 'N', 7, ssrc));
        EXPECT_EQ(out.events.size(), 1u);
        return out.events.empty() ? 0 : out.events[0].session;
    }
};

Bytes sent(const LiveDatagram &datagram) {
    return Bytes(datagram.bytes, datagram.bytes + datagram.length);
}

}  // namespace

TEST(LiveSession, InvitationOnBothPortsWithRepeatsMakesOneSession) {
    Room room;
    const Bytes ok = {0xFF, 0xFF, 'O', 'K', 0,   0,   0,   2,   0,   0,   0,   7,   0x0A, 0x0B, 0x0C,
                      0x0D, 't',  'o', 'n', 'e', 'c', 'a', 's', 't', ' ', 'r', 'o', 'o',  'm',  0};
    // The data port first: no session yet.
    ASSERT_EQ(room.send(LivePort::DATA, MAC_DATA, exchange('I', 'N', 7, 9)).sends.size(), 1u);
    EXPECT_EQ(sent(room.out.sends[0]).at(3), 'O');
    EXPECT_EQ(sent(room.out.sends[0]).at(2), 'N');
    for (LivePort port : {LivePort::CONTROL, LivePort::CONTROL, LivePort::DATA, LivePort::DATA}) {
        room.send(port, port == LivePort::CONTROL ? MAC_CONTROL : MAC_DATA, exchange('I', 'N', 7, 9));
        ASSERT_EQ(room.out.sends.size(), 1u);
        EXPECT_EQ(sent(room.out.sends[0]), ok);
        EXPECT_EQ(room.out.sends[0].port, port);
        EXPECT_EQ(room.out.sends[0].to.port, port == LivePort::CONTROL ? 5008 : 5009);
    }
    int inUse = 0;
    for (const LiveSession &session : room.table.sessions) inUse += session.inUse;
    EXPECT_EQ(inUse, 1);
    // Only the first data invitation began it; one of another token is refused on the data port.
    room.send(LivePort::DATA, MAC_DATA, exchange('I', 'N', 8, 9));
    EXPECT_EQ(sent(room.out.sends.at(0)).at(2), 'N');
    EXPECT_TRUE(room.out.events.empty());
}

TEST(LiveSession, ClockExchangeAnswersOnItsPortAndKeepsTheSessionPastTheSilence) {
    Room room;
    const uint32_t id = room.join(MAC_CONTROL, MAC_DATA, 9);
    room.send(LivePort::CONTROL, {0xC0A80106, 5008}, exchange('I', 'N', 1, 10));  // never joins its data port
    Bytes ck0 = {0xFF, 0xFF, 'C', 'K', 0, 0, 0, 9, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    ck0.resize(36);
    room.send(LivePort::DATA, MAC_DATA, ck0, 30 * SECOND + 1234);
    ASSERT_EQ(room.out.sends.size(), 1u);
    Bytes ck1 = {
        0xFF, 0xFF, 'C', 'K', 0x0A, 0x0B, 0x0C, 0x0D, 1, 0, 0, 0,    1,    2,
        3,    4,    5,   6,   7,    8,    0,    0,    0, 0, 0, 0x04, 0x93, 0xEC};  // 300012 hundreds of microseconds
    ck1.resize(36);
    EXPECT_EQ(sent(room.out.sends[0]), ck1);
    EXPECT_EQ(room.out.sends[0].port, LivePort::DATA);
    EXPECT_TRUE(room.send(LivePort::DATA, {0xC0A80105, 1}, ck0).sends.empty());  // not its port
    ck0[8] = 2;
    EXPECT_TRUE(room.send(LivePort::DATA, MAC_DATA, ck0, 30 * SECOND).sends.empty());
    room.out = {};
    tendLiveSessions(room.table, 60 * SECOND, room.out);  // the half-joined one goes, untold
    EXPECT_TRUE(room.out.events.empty());
    EXPECT_EQ(room.table.sessions[1].inUse, false);
    tendLiveSessions(room.table, 89 * SECOND, room.out);
    EXPECT_TRUE(room.out.events.empty());
    tendLiveSessions(room.table, 90 * SECOND, room.out);
    ASSERT_EQ(room.out.events.size(), 1u);
    EXPECT_EQ(room.out.events[0].kind, LiveEvent::ENDED);
    EXPECT_EQ(room.out.events[0].session, id);
}

TEST(LiveSession, NotesWithRunningStatusDeltasSplitSysExAndJournal) {
    Room room;
    const uint32_t id = room.join(MAC_CONTROL, MAC_DATA, 0x11223344);
    // B and J set, LEN 17: a note-on; after 5 and after 128 (two octets) more by running status, the
    // second of velocity 0; after 1 a program change; after 2 a note-off on channel 3; then a
    // journal of one channel's (its chapter P).
    const Bytes first = rtp(5, {0xC0, 0x11, 0x90, 0x3C, 0x64, 0x05, 0x3E, 0x70, 0x81, 0x00, 0x3C, 0x00, 0x01, 0xC0,
                                0x05, 0x02, 0x83, 0x40, 0x7F, 0x20, 0x00, 0x04, 0x00, 0x06, 0x80, 0x05, 0x00, 0x00});
    room.send(LivePort::DATA, MAC_DATA, first);
    ASSERT_EQ(room.out.notes.size(), 1u);
    const std::vector<RtpMidiNote> &notes = room.out.notes[0].notes;
    ASSERT_EQ(notes.size(), 4u);
    EXPECT_EQ(room.out.notes[0].session, id);
    EXPECT_FALSE(room.out.notes[0].lost);
    EXPECT_TRUE(notes[0].delta == 0 && notes[0].key == 60 && notes[0].velocity == 100);
    EXPECT_TRUE(notes[1].delta == 5 && notes[1].key == 62 && notes[1].velocity == 112);
    EXPECT_TRUE(notes[2].delta == 133 && notes[2].key == 60 && notes[2].velocity == 0);
    EXPECT_TRUE(notes[3].delta == 136 && notes[3].channel == 3 && notes[3].key == 64 && notes[3].velocity == 0);
    // Z set: a SysEx's first segment with a clock tick inside, a note; the next packet the middle
    // and last segments around a note (SysEx ends running status).
    room.send(LivePort::DATA, MAC_DATA, rtp(6, {0x2A, 0x03, 0xF0, 0x7E, 0xF8, 0x01, 0xF0, 0x00, 0x91, 0x45, 0x50}));
    ASSERT_EQ(room.out.notes.at(0).notes.size(), 1u);
    EXPECT_TRUE(room.out.notes[0].notes[0].delta == 3 && room.out.notes[0].notes[0].key == 0x45);
    room.send(LivePort::DATA, MAC_DATA,
              rtp(7, {0x0B, 0xF7, 0x02, 0xF0, 0x00, 0x91, 0x45, 0x00, 0x00, 0xF7, 0x03, 0xF7}));
    EXPECT_EQ(room.out.notes.at(0).notes.size(), 1u);
    // Running status right after the SysEx has no status to run on: the packet is dropped whole.
    EXPECT_TRUE(room.send(LivePort::DATA, MAC_DATA, rtp(8, {0x05, 0xF7, 0xF7, 0x00, 0x45, 0x50})).notes.empty());
    // Every cut short of the first packet is dropped, as is anything not RTP-MIDI on the data port.
    for (size_t length = 0; length < first.size(); length++) {
        const Bytes cut(first.begin(), first.begin() + static_cast<long>(length));
        EXPECT_TRUE(room.send(LivePort::DATA, MAC_DATA, cut).notes.empty()) << length;
    }
    const Bytes in = exchange('I', 'N', 3, 4);
    for (size_t length = 0; length < 16; length++) {
        EXPECT_TRUE(
            room.send(LivePort::CONTROL, MAC_CONTROL, Bytes(in.begin(), in.begin() + long(length))).sends.empty());
    }
}

TEST(LiveSession, LostPacketIsMarkedAndFeedbackNamesTheLastTaken) {
    Room room;
    room.join(MAC_CONTROL, MAC_DATA, 0x11223344);
    const Bytes noteOn = {0x03, 0x90, 0x3C, 0x64};
    room.send(LivePort::DATA, MAC_DATA, rtp(0xFFFF, noteOn));
    EXPECT_FALSE(room.out.notes.at(0).lost);
    room.send(LivePort::DATA, MAC_DATA, rtp(0x0001, {0x00}));  // 0 was lost: told even without notes
    EXPECT_TRUE(room.out.notes.at(0).lost);
    EXPECT_TRUE(room.send(LivePort::DATA, MAC_DATA, rtp(0x0000, noteOn)).notes.empty());  // late, dropped
    EXPECT_FALSE(room.send(LivePort::DATA, MAC_DATA, rtp(0x0002, noteOn)).notes.at(0).lost);
    room.out = {};
    addLiveFeedback(room.table, SECOND - 1, room.out);
    EXPECT_TRUE(room.out.sends.empty());
    addLiveFeedback(room.table, SECOND, room.out);
    addLiveFeedback(room.table, 3 * SECOND, room.out);  // nothing new came
    ASSERT_EQ(room.out.sends.size(), 1u);
    EXPECT_EQ(sent(room.out.sends[0]), Bytes({0xFF, 0xFF, 'R', 'S', 0x0A, 0x0B, 0x0C, 0x0D, 0, 2, 0, 0}));
    EXPECT_EQ(room.out.sends[0].port, LivePort::CONTROL);
    EXPECT_EQ(room.out.sends[0].to.port, MAC_CONTROL.port);
}

TEST(LiveSession, SessionsAtOnceEndByGoodByeOnEitherPortAndANinthIsRefused) {
    Room room;
    uint32_t ids[LIVE_SESSIONS];
    for (uint16_t i = 0; i < LIVE_SESSIONS; i++) {
        ids[i] =
            room.join({MAC_CONTROL.ip, uint16_t(6000 + 2 * i)}, {MAC_CONTROL.ip, uint16_t(6001 + 2 * i)}, 0x100 + i);
    }
    EXPECT_EQ(sent(room.send(LivePort::CONTROL, MAC_CONTROL, exchange('I', 'N', 7, 0x200)).sends.at(0)).at(2), 'N');
    // BY on the data port of session 3, from its own port only.
    EXPECT_TRUE(room.send(LivePort::DATA, {MAC_CONTROL.ip, 6005}, exchange('B', 'Y', 7, 0x103)).events.empty());
    ASSERT_EQ(room.send(LivePort::DATA, {MAC_CONTROL.ip, 6007}, exchange('B', 'Y', 7, 0x103)).events.size(), 1u);
    EXPECT_EQ(room.out.events[0].session, ids[3]);
    // Its notes are no longer taken; another session's are, as its own.
    const Bytes noteOn = {0x03, 0x90, 0x3C, 0x64};
    EXPECT_TRUE(room.send(LivePort::DATA, {MAC_CONTROL.ip, 6007}, rtp(1, noteOn, 0x103)).notes.empty());
    EXPECT_EQ(room.send(LivePort::DATA, {MAC_CONTROL.ip, 6011}, rtp(1, noteOn, 0x105)).notes.at(0).session, ids[5]);
    // BY on the control port; then the freed place takes the one refused.
    EXPECT_EQ(room.send(LivePort::CONTROL, {MAC_CONTROL.ip, 6000}, exchange('B', 'Y', 7, 0x100)).events.at(0).session,
              ids[0]);
    EXPECT_EQ(sent(room.send(LivePort::CONTROL, MAC_CONTROL, exchange('I', 'N', 7, 0x200)).sends.at(0)).at(2), 'O');
    // Our end: BY on both ports of the six begun, on the control port of the one half joined.
    room.out = {};
    endLiveSessions(room.table, room.out);
    EXPECT_EQ(room.out.events.size(), 6u);
    ASSERT_EQ(room.out.sends.size(), 13u);
    EXPECT_EQ(room.out.sends[0].to.port, MAC_CONTROL.port);
    EXPECT_EQ(room.out.sends[2].port, LivePort::DATA);
    EXPECT_EQ(room.out.sends[2].to.port, 6003);
    EXPECT_EQ(sent(room.out.sends[2]), Bytes({0xFF, 0xFF, 'B', 'Y', 0, 0, 0, 2, 0, 0, 0, 7, 0x0A, 0x0B, 0x0C, 0x0D}));
    room.out = {};
    endLiveSessions(room.table, room.out);
    EXPECT_TRUE(room.out.sends.empty());
}
