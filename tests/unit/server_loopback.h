#pragma once
// The server's sends, observed without any network: the process socket is bound to 127.0.0.1 and
// every client is a socket of the test on 127.0.0.1, so nothing leaves the machine's loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <plib/netSocket.h>

#include "server/client_table.h"
#include "shell/run_state.h"

using Datagram = std::vector<uint8_t>;

// One fake client: a loopback socket of its own.
class LoopbackPeer {
public:
    LoopbackPeer() {
        handle_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        EXPECT_EQ(bind(handle_, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
        EXPECT_EQ(getsockname(handle_, reinterpret_cast<sockaddr *>(&local), &length), 0);
        port_ = ntohs(local.sin_port);
    }
    ~LoopbackPeer() { close(handle_); }
    LoopbackPeer(const LoopbackPeer &) = delete;
    LoopbackPeer &operator=(const LoopbackPeer &) = delete;

    netAddress address() const { return netAddress("127.0.0.1", port_); }
    int port() const { return port_; }

    // Everything the server has sent this peer so far. A marker sent last on the same path
    // arrives after all of it, so an empty answer really means nothing was sent.
    std::vector<Datagram> received() {
        static const char marker[] = "end of test sends";
        netAddress self = address();
        runState.socket->sendto(marker, sizeof marker, 0, &self);
        std::vector<Datagram> datagrams;
        for (;;) {
            pollfd ready = {handle_, POLLIN, 0};
            if (poll(&ready, 1, 2000) != 1) {
                ADD_FAILURE() << "the marker never arrived";
                return datagrams;
            }
            uint8_t buffer[64];
            ssize_t length = recv(handle_, buffer, sizeof buffer, 0);
            if (length == sizeof marker && memcmp(buffer, marker, sizeof marker) == 0) return datagrams;
            datagrams.emplace_back(buffer, buffer + (length > 0 ? length : 0));
        }
    }

private:
    int handle_ = -1;
    int port_ = 0;
};

inline Datagram assignId(int id) {
    return {2, 0, static_cast<uint8_t>(id), 0, 0, 0};
}

inline Datagram note(int key, int16_t length) {
    uint16_t bits = static_cast<uint16_t>(length);
    return {4, 0, static_cast<uint8_t>(key), 0, static_cast<uint8_t>(bits & 0xFF), static_cast<uint8_t>(bits >> 8)};
}

inline bool slotIsAllZero(const ClientSlot &slot) {
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&slot);
    for (size_t i = 0; i < sizeof slot; i++) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

inline std::string tableBytes() {
    return std::string(reinterpret_cast<const char *>(&clientTable), sizeof clientTable);
}

// The process socket on 127.0.0.1 and an empty table, for every test of the server side.
class LoopbackServer : public ::testing::Test {
protected:
    void SetUp() override {
        runState.socket = new netSocket();
        ASSERT_TRUE(runState.socket->open(false));
        ASSERT_EQ(runState.socket->bind("127.0.0.1", 0), 0);
        clearClientTable();
    }
    void TearDown() override {
        clearClientTable();
        runState.socket->close();
        delete runState.socket;
        runState.socket = nullptr;
    }

    // Registers fresh peers in slots 0, 1, ... and drops their id replies.
    std::vector<std::unique_ptr<LoopbackPeer>> registeredPeers(int count) {
        std::vector<std::unique_ptr<LoopbackPeer>> peers;
        for (int i = 0; i < count; i++) {
            peers.push_back(std::make_unique<LoopbackPeer>());
            registerClient(peers.back()->address(), 0, 0);
            EXPECT_EQ(peers.back()->received(), std::vector<Datagram>{assignId(i)});
        }
        return peers;
    }
};
