// Arbitrary datagrams on the live sessions' control and data ports from a few senders, with time
// passing, silent sessions tended and our receiver feedback asked for, in any order. Each datagram
// is copied to a buffer of its exact size, so the sanitizers catch any read past its end. Beyond
// them: a session begins once and ends once, never more at once than the table holds, and every
// note is of a session that began and has not ended; an answer goes only to the sender, on the
// port it came on, and feedback only to the control port of a session in the table; a session
// left silent past the limit is gone after the tending.
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "fuzz_input.h"
#include "live/applemidi_session.h"

namespace {

// Two hosts, each with pairs of neighbouring ports, and a few SSRCs and tokens, so that sessions,
// repeats and strangers meet often.
constexpr uint32_t HOSTS[] = {0x0A000001, 0x0A000002};
constexpr uint16_t PORTS[] = {5004, 5005, 5006, 5007};
constexpr uint32_t SSRCS[] = {1, 2, 3, 0xFFFFFFFF};
constexpr uint32_t TOKENS[] = {7, 8};

LiveSessions table;
std::set<uint32_t> live;  // sessions begun and not ended
std::set<uint32_t> everBegan;
int64_t now;

void push32(std::vector<uint8_t> &bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
}

// The events and notes of one call against what came before.
void checkOutput(const LiveOutput &out) {
    for (const LiveEvent &event : out.events) {
        if (event.kind == LiveEvent::BEGAN) {
            check(everBegan.insert(event.session).second);
            live.insert(event.session);
        } else {
            check(live.erase(event.session) == 1);
        }
    }
    check(live.size() <= LIVE_SESSIONS);
    for (const LiveNotes &notes : out.notes) {
        check(live.count(notes.session) == 1);
        check(notes.lost || !notes.notes.empty());
        for (const RtpMidiNote &note : notes.notes) check(note.channel < 16 && note.key < 128 && note.velocity < 128);
    }
    for (const LiveDatagram &datagram : out.sends) check(datagram.length <= LIVE_LONGEST_DATAGRAM);
    // The table holds exactly the live sessions among those that began, each id once.
    std::set<uint32_t> began;
    for (const LiveSession &session : table.sessions) {
        if (!session.inUse) continue;
        if (session.began) check(began.insert(session.id).second);
    }
    check(began == live);
}

void deliver(LivePort port, LivePeer from, const std::vector<uint8_t> &bytes) {
    // A buffer of the datagram's exact size on the heap: a read past it is caught.
    const std::vector<uint8_t> exact(bytes);
    LiveOutput out;
    handleLiveDatagram(table, port, from, exact.empty() ? nullptr : exact.data(), exact.size(), now, out);
    checkOutput(out);
    for (const LiveDatagram &datagram : out.sends) {
        check(datagram.port == port && datagram.to.ip == from.ip && datagram.to.port == from.port);
    }
    RtpMidiPacket packet;
    if (!exact.empty()) readRtpMidiPacket(exact.data(), exact.size(), packet);
}

// A datagram the fuzzer would seldom spell, from its few fields: a session command or a data
// packet of a known SSRC whose command section is the input's.
std::vector<uint8_t> spelled(Input &input, uint8_t kind) {
    std::vector<uint8_t> bytes;
    const uint32_t ssrc = SSRCS[input.byte() % 4];
    if (kind == 4) {
        bytes = {0x80, 0x61, input.byte(), input.byte(), 0, 0, 0, 0};
        push32(bytes, ssrc);
    } else {
        const char *const commands[] = {"IN", "BY", "CK", "RS"};
        bytes = {0xFF, 0xFF, static_cast<uint8_t>(commands[kind][0]), static_cast<uint8_t>(commands[kind][1])};
        if (kind < 2) {
            push32(bytes, 2);
            push32(bytes, TOKENS[input.byte() % 2]);
        }
        push32(bytes, ssrc);
    }
    // The rest as the input gives it, up to the length asked for.
    const uint8_t rest = input.byte();
    for (int i = 0; i < rest; i++) bytes.push_back(input.byte());
    return bytes;
}

void passTime(Input &input) {
    const int64_t step = input.byte();
    now += step * step * 10000;  // up to 650 s, finely near 0
    LiveOutput out;
    tendLiveSessions(table, now, out);
    addLiveFeedback(table, now, out);
    checkOutput(out);
    for (const LiveSession &session : table.sessions) {
        check(!session.inUse || now - session.heardMicros < LIVE_SILENCE_LIMIT_MICROS);
    }
    for (const LiveDatagram &datagram : out.sends) {
        bool toSession = false;
        for (const LiveSession &session : table.sessions) {
            toSession |= session.inUse && session.ip == datagram.to.ip && session.controlPort == datagram.to.port;
        }
        check(toSession && datagram.port == LivePort::CONTROL);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    startLiveSessions(table, 0x12345678, "tonecast");
    live.clear();
    everBegan.clear();
    now = 1000000;
    Input input(data, size);
    while (!input.empty()) {
        const uint8_t op = input.byte();
        if (op == 0xFF) {
            passTime(input);
            continue;
        }
        // Bit 0: the port; bits 1 to 3: the sender; bits 4 to 6: raw bytes or a kind to spell.
        const LivePort port = (op & 1) != 0 ? LivePort::DATA : LivePort::CONTROL;
        const LivePeer from = {HOSTS[(op >> 1) & 1], PORTS[(op >> 2) & 3]};
        const uint8_t kind = (op >> 4) & 7;
        std::vector<uint8_t> bytes;
        if (kind <= 4) {
            bytes = spelled(input, kind);
        } else {
            const uint8_t length = input.byte();
            for (int i = 0; i < length; i++) bytes.push_back(input.byte());
        }
        deliver(port, from, bytes);
    }
    return 0;
}
