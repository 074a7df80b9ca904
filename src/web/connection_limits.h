#pragma once
// How many browser connections the web port holds at once, in all and from any one address, so
// that strangers on the network cannot take the descriptors the room's own pages need.
#include <boost/asio/ip/address.hpp>
#include <map>
#include <memory>

// A connection's place, held as long as any copy of it lives; empty when the connection was refused.
using ConnectionPlace = std::shared_ptr<void>;

class ConnectionLimits {
public:
    // descriptorLimit: how many descriptors the process may have open.
    explicit ConnectionLimits(long descriptorLimit);
    // A place for a new connection from the address, or none when a limit is reached.
    ConnectionPlace admit(const boost::asio::ip::address &from);

private:
    void release(const boost::asio::ip::address &from);

    int mostInAll;
    int mostFromOneAddress;
    int inAll = 0;
    std::map<boost::asio::ip::address, int> fromAddress;
};
