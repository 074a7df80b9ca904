#include <gtest/gtest.h>

#include <vector>

#include "net/protocol.h"

namespace {
std::vector<int> bytesOf(const Message &message) {
    return std::vector<int>(message.bytes, message.bytes + message.length);
}
}  // namespace

TEST(Protocol, EveryMessageHasItsExactBytes) {
    EXPECT_EQ(bytesOf(connectMessage()), (std::vector<int>{0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bytesOf(activateMessage()), (std::vector<int>{0xFE, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bytesOf(assignIdMessage(31)), (std::vector<int>{2, 0, 31, 0, 0, 0}));
    EXPECT_EQ(bytesOf(noteMessage(60, 480)), (std::vector<int>{4, 0, 60, 0, 0xE0, 0x01}));
    EXPECT_EQ(bytesOf(serverByeMessage()), (std::vector<int>{5, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bytesOf(clientDisconnectMessage(7)), (std::vector<int>{7, 0, 5, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Protocol, SignedFieldsAreLittleEndianTwosComplement) {
    // A note shorter than 20 ms carries a negative length.
    EXPECT_EQ(bytesOf(noteMessage(255, -15)), (std::vector<int>{4, 0, 0xFF, 0, 0xF1, 0xFF}));
    EXPECT_EQ(bytesOf(clientDisconnectMessage(-2)), (std::vector<int>{0xFE, 0xFF, 5, 0, 0, 0, 0, 0, 0, 0}));
    Message note = noteMessage(-32768, 32767);
    EXPECT_EQ(readWord(note.bytes, 0), MSG_NOTE);
    EXPECT_EQ(readWord(note.bytes, 1), -32768);
    EXPECT_EQ(readWord(note.bytes, 2), 32767);
}

TEST(Protocol, ServerClassifiesByByteZeroThenByteTwo) {
    EXPECT_EQ(classifyServerDatagram(connectMessage().bytes), ServerRequest::Connect);
    EXPECT_EQ(classifyServerDatagram(activateMessage().bytes), ServerRequest::Activate);
    for (int16_t id = 0; id < 32; id++) {
        EXPECT_EQ(classifyServerDatagram(clientDisconnectMessage(id).bytes), ServerRequest::Disconnect) << id;
    }
    // A connect whose byte 2 happens to be 5 is still a connect.
    uint8_t connectWithMark[10] = {0xFF, 0, 5};
    EXPECT_EQ(classifyServerDatagram(connectWithMark), ServerRequest::Connect);
    // What the server sends is nothing it acts on itself.
    EXPECT_EQ(classifyServerDatagram(noteMessage(60, 100).bytes), ServerRequest::Other);
    EXPECT_EQ(classifyServerDatagram(serverByeMessage().bytes), ServerRequest::Other);
}
