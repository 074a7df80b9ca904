#include <gtest/gtest.h>

#include "net/client_table.h"
#include "server_loopback.h"

using ServerClientTable = LoopbackServer;

TEST_F(ServerClientTable, RegisterTakesTheLowestFreeSlotAndReleaseFreesIt) {
    LoopbackPeer first, second, third, fourth;
    testing::internal::CaptureStdout();
    registerClient(first.address());
    registerClient(second.address());
    registerClient(third.address());
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
    registerClient(first.address());
    EXPECT_EQ(first.received(), std::vector<Datagram>{assignId(0)});
    EXPECT_TRUE(slotIsAllZero(clientTable.slots[3]));

    clientTable.slots[1].noteEnd = 500;
    clientTable.slots[1].key = 60;
    testing::internal::CaptureStdout();
    releaseClient(1, second.address());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Client 1 disconnected.\n");
    EXPECT_TRUE(slotIsAllZero(clientTable.slots[1]));

    // The freed slot is the lowest free one again, and comes back clean.
    registerClient(fourth.address());
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
    registerClient(latecomer.address());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(latecomer.received().empty());
    EXPECT_EQ(tableBytes(), before);
    // A client holding a slot is still answered.
    registerClient(peers[5]->address());
    EXPECT_EQ(peers[5]->received(), std::vector<Datagram>{assignId(5)});

    // Once a client leaves, the latecomer gets its slot.
    releaseClient(17, peers[17]->address());
    registerClient(latecomer.address());
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
