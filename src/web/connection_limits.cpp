#include "web/connection_limits.h"

#include <algorithm>

namespace {

// A room has 32 voices, and more pages may wait in it for a free one; each page loads three small
// files. This many connections hold all that several times over, and their memory stays small.
constexpr long MOST_CONNECTIONS = 512;
// A school's guest Wi-Fi puts every phone behind one address: 32 phones, each with its WebSocket
// and the five more connections a browser may open to load a page, fit.
constexpr int MOST_FROM_ONE_ADDRESS = 192;
// The program's own descriptors (standard streams, the server's port, the event loops, the stop
// pipe, the sound device) and a margin for the libraries.
constexpr long OWN_DESCRIPTORS = 32;
// A joined page holds its connection and its datagram socket.
constexpr long DESCRIPTORS_PER_PAGE = 2;

}  // namespace

ConnectionLimits::ConnectionLimits(long descriptorLimit)
    : mostInAll(static_cast<int>(
          std::clamp((descriptorLimit - OWN_DESCRIPTORS) / DESCRIPTORS_PER_PAGE, 0L, MOST_CONNECTIONS))),
      // One address never takes more than half of a small room.
      mostFromOneAddress(std::min(MOST_FROM_ONE_ADDRESS, std::max(mostInAll / 2, 1))) {}

ConnectionPlace ConnectionLimits::admit(const boost::asio::ip::address &from) {
    int &fromThere = fromAddress[from];
    if (inAll >= mostInAll || fromThere >= mostFromOneAddress) {
        if (fromThere == 0) fromAddress.erase(from);
        return nullptr;
    }
    fromThere++;
    inAll++;
    return ConnectionPlace(this, [from](ConnectionLimits *limits) { limits->release(from); });
}

void ConnectionLimits::release(const boost::asio::ip::address &from) {
    inAll--;
    if (--fromAddress[from] == 0) fromAddress.erase(from);
}
