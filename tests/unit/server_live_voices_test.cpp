#include <gtest/gtest.h>

#include "net/protocol.h"
#include "platform/clock.h"
#include "server/dispatch.h"
#include "server/live_voices.h"
#include "server/server_status.h"
#include "server_loopback.h"

namespace {

constexpr int64_t MS = NANOS_PER_MILLI;
constexpr int64_t T0 = 1000 * MS;

Datagram bytesOf(const Message &message) {
    return Datagram(message.bytes, message.bytes + message.length);
}
// A slice of 200 ms sounding at the monotonic moment: a live slice to a client of the live version,
// a timed note to an older one.
Datagram slice(int key, int64_t atNanos, uint8_t version = LIVE_PROTOCOL_VERSION) {
    const auto micros = static_cast<uint32_t>(atNanos / 1000);
    const auto k = static_cast<int16_t>(key);
    return bytesOf(version >= LIVE_PROTOCOL_VERSION ? liveSliceMessage(k, micros)
                                                    : timedNoteMessage(k, LIVE_SLICE_MS, micros));
}
Datagram noteOff(int key, int64_t atNanos) {
    return bytesOf(noteOffMessage(static_cast<int16_t>(key), static_cast<uint32_t>(atNanos / 1000)));
}

class ServerLiveVoices : public LoopbackServer {
protected:
    void SetUp() override {
        LoopbackServer::SetUp();
        tendLiveVoices(0);  // forgets the notes of the clients of earlier tests
        runState.liveLeadMs = 20;
        runState.liveMode = 1;
    }
    void TearDown() override {
        runState.liveMode = 0;
        LoopbackServer::TearDown();
    }
    // Its id, then the welcome: a room that plays live tells a client of the live version its lead.
    std::unique_ptr<LoopbackPeer> timedPeer(uint8_t version) {
        auto peer = std::make_unique<LoopbackPeer>();
        registerClient(peer->address(), version, 0);
        const std::vector<Datagram> replies = peer->received();
        const uint8_t lead = version >= LIVE_PROTOCOL_VERSION ? 20 : 0;
        EXPECT_EQ(replies.size(), 2U);
        if (replies.size() == 2) {
            EXPECT_EQ(replies[1], (Datagram{MSG_WELCOME, 0, version, 0, lead, 0}));
        }
        return peer;
    }
};

}  // namespace

TEST_F(ServerLiveVoices, SlicesJoinAheadUntilTheKeyIsLetGoAndTheLiveVersionIsToldTheEnd) {
    auto peer = timedPeer(LIVE_PROTOCOL_VERSION);
    startLiveNote(7, 60, 0, T0);
    EXPECT_EQ(peer->received(), std::vector<Datagram>{slice(60, T0 + 20 * MS)});
    EXPECT_EQ(nanosUntilLiveVoicesDue(T0), 100 * MS);  // the slice's end is then lead + 100 ms away
    tendLiveVoices(T0 + 99 * MS);
    EXPECT_TRUE(peer->received().empty());
    tendLiveVoices(T0 + 100 * MS);
    EXPECT_EQ(peer->received(), std::vector<Datagram>{slice(60, T0 + 220 * MS)});
    EXPECT_EQ(idleVoice(0), NOTE_DROPPED);
    endLiveNote(7, 61, T0 + 150 * MS);  // a key it does not hold
    endLiveNote(8, 60, T0 + 150 * MS);  // another player's
    EXPECT_TRUE(peer->received().empty());
    endLiveNote(7, 60, T0 + 150 * MS);
    EXPECT_EQ(peer->received(), std::vector<Datagram>{noteOff(60, T0 + 170 * MS)});
    EXPECT_EQ(idleVoice(0), 0);
    tendLiveVoices(T0 + 1000 * MS);
    EXPECT_TRUE(peer->received().empty());
    EXPECT_EQ(nanosUntilLiveVoicesDue(T0), -1);
}

TEST_F(ServerLiveVoices, OlderClientsGetNoNoteOffAndStayBusyUntilTheirLastSliceEnds) {
    auto peers = registeredPeers(1);  // plays on arrival
    auto timed = timedPeer(CONCERT_PROTOCOL_VERSION);
    startLiveNote(1, 60, 0, T0);
    startLiveNote(1, 62, 0, T0);
    silenceConcertClients();  // a pause of the song does not reach a live note
    EXPECT_EQ(peers[0]->received(), std::vector<Datagram>{note(60, LIVE_SLICE_MS)});
    EXPECT_EQ(timed->received(), std::vector<Datagram>{slice(62, T0 + 20 * MS, CONCERT_PROTOCOL_VERSION)});
    tendLiveVoices(T0 + 200 * MS);  // the older client's next slice when the last one ends
    EXPECT_EQ(peers[0]->received(), std::vector<Datagram>{note(60, LIVE_SLICE_MS)});
    EXPECT_EQ(timed->received(), std::vector<Datagram>{slice(62, T0 + 220 * MS, CONCERT_PROTOCOL_VERSION)});
    endLiveSource(1, T0 + 250 * MS);
    EXPECT_EQ(idleVoice(0), NOTE_DROPPED);
    EXPECT_EQ(nanosUntilLiveVoicesDue(T0 + 250 * MS), 150 * MS);
    tendLiveVoices(T0 + 400 * MS);
    EXPECT_EQ(idleVoice(0), 0);
    EXPECT_EQ(clientTable.slots[1].heldLive, 1);
    tendLiveVoices(T0 + 420 * MS);
    EXPECT_EQ(clientTable.slots[1].heldLive, 0);
    EXPECT_TRUE(peers[0]->received().empty());
    EXPECT_TRUE(timed->received().empty());
}

TEST_F(ServerLiveVoices, AHeldVoiceIsNoOnesElseAndAPlayerHoldsAtMost16Keys) {
    auto peers = registeredPeers(17);
    const int dropped = notesDropped();
    for (int key = 40; key < 57; key++) startLiveNote(1, key, 0, T0);  // the 17th key is one too many
    EXPECT_EQ(notesDropped(), dropped + 1);
    EXPECT_TRUE(peers[16]->received().empty());
    // Pressed again, a held key ends (its client rings out its slice) and starts anew on another.
    startLiveNote(1, 40, 0, T0 + 50 * MS);
    EXPECT_EQ(peers[16]->received(), std::vector<Datagram>{note(40, LIVE_SLICE_MS)});
    // Neither the song nor another player finds a free client.
    EXPECT_EQ(dispatchNote(0, 64, 100, 0, 100), NOTE_DROPPED);
    startLiveNote(2, 72, 0, T0);
    EXPECT_EQ(notesDropped(), dropped + 2);
    tendLiveVoices(T0 + 200 * MS);
    EXPECT_EQ(peers[0]->received(), std::vector<Datagram>{note(40, LIVE_SLICE_MS)});
    EXPECT_EQ(peers[1]->received(), (std::vector<Datagram>{note(41, LIVE_SLICE_MS), note(41, LIVE_SLICE_MS)}));
    // A client that leaves gets no further slice.
    releaseClient(16, peers[16]->address());
    tendLiveVoices(T0 + 400 * MS);
    EXPECT_TRUE(peers[16]->received().empty());
}
