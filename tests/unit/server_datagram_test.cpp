#include <gtest/gtest.h>

#include "server/client_table.h"
#include "server/server.h"
#include "server_loopback.h"

namespace {

void handle(const Datagram &bytes, const LoopbackPeer &sender) {
    // Like the server's receive buffer, larger than what arrived and not cleared.
    uint8_t buffer[1400];
    memset(buffer, 0x05, sizeof buffer);
    if (!bytes.empty()) memcpy(buffer, bytes.data(), bytes.size());
    handleServerDatagram(buffer, static_cast<int>(bytes.size()), sender.address(), 0);
}

}  // namespace

class ServerDatagram : public LoopbackServer {
protected:
    void TearDown() override {
        runState.playbackActive = 1;
        LoopbackServer::TearDown();
    }
};

TEST_F(ServerDatagram, ShortDatagramsReadTheMissingBytesAsZero) {
    LoopbackPeer client, other;
    testing::internal::CaptureStdout();
    handle({0xFF}, client);
    EXPECT_EQ(client.received(), std::vector<Datagram>{assignId(0)});
    handle({0xFF, 1, 5}, other);
    EXPECT_EQ(other.received(), std::vector<Datagram>{assignId(1)});
    const std::string before = tableBytes();
    // Byte 2 is missing, so none of these is a disconnect, whatever the buffer held before.
    handle({}, client);
    handle({0}, client);
    handle({0, 0}, client);
    handle({1, 0}, other);
    EXPECT_EQ(tableBytes(), before);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // Word 0 is the id, signed: 0xFF01 is -255, not 1 and not 0xFF01.
    testing::internal::CaptureStdout();
    handle({0x01, 0xFF, 5}, other);
    handle({0x01, 0x00, 5}, other);
    handle({0x00, 0x00, 5}, client);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Client 1 disconnected.\nClient 0 disconnected.\n");
    EXPECT_TRUE(slotIsAllZero(clientTable.slots[0]));
    EXPECT_TRUE(slotIsAllZero(clientTable.slots[1]));
}

TEST_F(ServerDatagram, OnlyTheFirstActivateStartsAWaitingSong) {
    LoopbackPeer sender;
    runState.playbackActive = 0;
    testing::internal::CaptureStdout();
    handle({0xFE}, sender);
    EXPECT_EQ(runState.playbackActive, 1);
    handle({0xFE, 0, 0, 0, 0, 0, 0, 0, 0, 0}, sender);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SV: got activate\n");
    // What the server itself sends is nothing it acts on.
    testing::internal::CaptureStdout();
    handle({4, 0, 60, 0, 100, 0}, sender);
    handle({5, 0, 0, 0, 0, 0}, sender);
    handle({2, 0, 0, 0, 0, 0}, sender);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(sender.received().empty());
    for (const ClientSlot &slot : clientTable.slots) EXPECT_TRUE(slotIsAllZero(slot));
}
