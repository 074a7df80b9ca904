#pragma once
// The conductor's key: the part of the conductor's address that lets a page steer the room. The
// audience never sees it; a stranger who guesses is slowed, then cut off.
#include <boost/asio/ip/address.hpp>
#include <boost/beast/core/string.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>

// The --conductor-key given, or 32 random hex digits.
std::string makeConductorKey(const char *given);
// Whether the key offered is the key, in a time that does not depend on where they differ.
bool isConductorKey(boost::beast::string_view offered, const std::string &key);

// Wrong keys counted per address over a minute from the first: an address that has sent too many
// gets no answer at all until its minute is over.
class WrongKeyCount {
public:
    using Clock = std::chrono::steady_clock;
    // One wrong key more from the address.
    void count(const boost::asio::ip::address &from, Clock::time_point now);
    // Whether the address has sent its most wrong keys in this minute.
    bool shutOut(const boost::asio::ip::address &from, Clock::time_point now) const;

private:
    struct Tally {
        Clock::time_point since;
        int wrongKeys;
    };
    std::map<boost::asio::ip::address, Tally> tallies;
};
