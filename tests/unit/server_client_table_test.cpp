#include <gtest/gtest.h>

#include <algorithm>

#include "net/protocol.h"
#include "platform/clock.h"
#include "server/client_table.h"
#include "server_loopback.h"

using ServerClientTable = LoopbackServer;

TEST_F(ServerClientTable, RegisterTakesTheLowestFreeSlotAndReleaseFreesIt) {
    LoopbackPeer first, second, third, fourth;
    testing::internal::CaptureStdout();
    registerClient(first.address(), 0, 0);
    registerClient(second.address(), 0, 0);
    registerClient(third.address(), 0, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(first.received(), std::vector<Datagram>{assignId(0)});
    EXPECT_EQ(second.received(), std::vector<Datagram>{assignId(1)});
    EXPECT_EQ(third.received(), std::vector<Datagram>{assignId(2)});
    const ClientSlot &slot = clientTable.slots[1];
    EXPECT_EQ(slot.inUse, 1);
    EXPECT_EQ(slot.address.getIP(), second.address().getIP());
    EXPECT_EQ(static_cast<int>(slot.address.getPort()), second.port());
    EXPECT_EQ(slot.busyUntil, 0);
    EXPECT_EQ(slot.noteEnd, 0);
    EXPECT_EQ(slot.key, 0u);

    // A repeated request (its answer was lost or late) is told its id again and takes no slot.
    registerClient(first.address(), 0, 0);
    EXPECT_EQ(first.received(), std::vector<Datagram>{assignId(0)});
    EXPECT_TRUE(slotIsAllZero(clientTable.slots[3]));

    clientTable.slots[1].noteEnd = 500;
    clientTable.slots[1].key = 60;
    testing::internal::CaptureStdout();
    releaseClient(1, second.address());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Client 1 disconnected.\n");
    EXPECT_TRUE(slotIsAllZero(clientTable.slots[1]));

    // The freed slot is the lowest free one again, and comes back clean.
    registerClient(fourth.address(), 0, 0);
    EXPECT_EQ(fourth.received(), std::vector<Datagram>{assignId(1)});
    EXPECT_EQ(clientTable.slots[1].noteEnd, 0);
    EXPECT_EQ(clientTable.slots[1].key, 0u);
    EXPECT_TRUE(second.received().empty());
}

TEST_F(ServerClientTable, AFullTableLeavesTheNextConnectUnanswered) {
    auto peers = registeredPeers(MAX_CLIENTS);
    const std::string before = tableBytes();
    LoopbackPeer latecomer;
    testing::internal::CaptureStdout();
    registerClient(latecomer.address(), 0, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(latecomer.received().empty());
    EXPECT_EQ(tableBytes(), before);
    // A client holding a slot is still answered.
    registerClient(peers[5]->address(), 0, 0);
    EXPECT_EQ(peers[5]->received(), std::vector<Datagram>{assignId(5)});

    // Once a client leaves, the latecomer gets its slot.
    releaseClient(17, peers[17]->address());
    registerClient(latecomer.address(), 0, 0);
    EXPECT_EQ(latecomer.received(), std::vector<Datagram>{assignId(17)});
}

TEST_F(ServerClientTable, DisconnectsFromStrangersOrForOtherIdsAreIgnored) {
    auto peers = registeredPeers(2);
    LoopbackPeer stranger;
    const std::string before = tableBytes();
    testing::internal::CaptureStdout();
    for (int id : {-1, 32, 255, 0x0505, -32768, 32767}) releaseClient(id, peers[0]->address());
    // Another client's socket, a stranger on the same host, the right port on another host.
    releaseClient(0, peers[1]->address());
    releaseClient(1, stranger.address());
    releaseClient(0, netAddress("127.0.0.2", peers[0]->port()));
    // A free slot has nobody to disconnect.
    releaseClient(5, stranger.address());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(tableBytes(), before);
    for (auto &peer : peers) EXPECT_TRUE(peer->received().empty());
}

namespace {

constexpr int64_t MS = NANOS_PER_MILLI;
constexpr int64_t SECOND = NANOS_PER_SECOND;

void askTheTime(const LoopbackPeer &client, int64_t now) {
    answerClockRequest(clockRequestMessage(7, CLOCK_PROTOCOL_VERSION).bytes, client.address(), now);
}

size_t countOf(const std::vector<Datagram> &datagrams, int16_t kind) {
    return static_cast<size_t>(std::count_if(datagrams.begin(), datagrams.end(), [kind](const Datagram &datagram) {
        return datagram.size() >= 2 && readWord(datagram.data(), 0) == kind;
    }));
}

}  // namespace

TEST_F(ServerClientTable, ATimedClientSilentFor10SecondsIsLetGoAndOnlyIt) {
    LoopbackPeer silent, asking, older;
    const int64_t start = 3 * SECOND;
    registerClient(silent.address(), CLOCK_PROTOCOL_VERSION, start);
    registerClient(asking.address(), CLOCK_PROTOCOL_VERSION, start);
    registerClient(older.address(), 0, start);
    EXPECT_EQ(nanosUntilTimedClientsDue(start), SECOND);

    // The asking client asks once at 1.5 s, then every 9.5 s: each request restarts its 10 s.
    testing::internal::CaptureStdout();
    std::string printed;
    for (int64_t now = start; now <= start + 40 * SECOND; now += 250 * MS) {
        if ((now - start - 1500 * MS) % (9500 * MS) == 0) askTheTime(asking, now);
        tendTimedClients(now);
        if (now == start + 10 * SECOND - 250 * MS) {
            EXPECT_EQ(clientTable.slots[0].inUse, 1);
        }
        if (now == start + 10 * SECOND) printed = testing::internal::GetCapturedStdout();
    }
    EXPECT_EQ(printed, "Client 0 disconnected.\n");
    EXPECT_TRUE(slotIsAllZero(clientTable.slots[0]));
    // Welcomed on its connect, then again each second until it asked, or until it was let go.
    EXPECT_EQ(countOf(silent.received(), MSG_WELCOME), 10u);
    const std::vector<Datagram> toAsking = asking.received();
    EXPECT_EQ(countOf(toAsking, MSG_WELCOME), 2u);
    EXPECT_EQ(countOf(toAsking, MSG_CLOCK_REPLY), 5u);

    // An older client asks nothing and is never let go.
    testing::internal::CaptureStdout();
    tendTimedClients(start + 1000 * SECOND);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Client 1 disconnected.\n");
    EXPECT_EQ(clientTable.slots[2].inUse, 1);
    EXPECT_EQ(older.received(), std::vector<Datagram>{assignId(2)});
    EXPECT_EQ(nanosUntilTimedClientsDue(start + 1000 * SECOND), -1);
}

TEST_F(ServerClientTable, ClockRequestsBeyondTheAllowanceAreDroppedYetCountAsLife) {
    LoopbackPeer client;
    int64_t now = 0;
    registerClient(client.address(), CLOCK_PROTOCOL_VERSION, now);
    // Sends requests step apart; how many were answered. Replies are read as they come, in batches
    // the peer's socket holds.
    auto answered = [&](int count, int64_t step) {
        size_t replies = 0;
        for (int i = 1; i <= count; i++) {
            askTheTime(client, now);
            now += step;
            if (i % 50 == 0 || i == count) replies += countOf(client.received(), MSG_CLOCK_REPLY);
        }
        return replies;
    };
    // A client's own pattern: its burst after the welcome, then 4 a second for a minute.
    EXPECT_EQ(answered(64, 5 * MS), 64u);
    EXPECT_EQ(answered(240, 250 * MS), 240u);
    // A flood in one moment gets the allowance and no more; 4 a second are answered again at once.
    EXPECT_EQ(answered(1000, 0), 80u);
    now += 250 * MS;
    EXPECT_EQ(answered(40, 250 * MS), 40u);

    // Dropped requests still show the client is there.
    now += 10 * SECOND;
    EXPECT_EQ(answered(80, 0), 80u);
    const int64_t lastDropped = now + 100 * MS;
    now = lastDropped;
    EXPECT_EQ(answered(1, 0), 0u);
    testing::internal::CaptureStdout();
    tendTimedClients(lastDropped + 10 * SECOND - 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(nanosUntilTimedClientsDue(lastDropped), 10 * SECOND);
}
