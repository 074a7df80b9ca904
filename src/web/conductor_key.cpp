#include "web/conductor_key.h"

#include <random>

namespace {

constexpr int RANDOM_KEY_DIGITS = 32;  // 128 bits: never guessed, at ten tries a minute
constexpr int MOST_WRONG_KEYS = 10;
constexpr auto WRONG_KEY_WINDOW = std::chrono::minutes(1);
// Strangers on many addresses cost no more memory than this; the oldest tally is forgotten first.
constexpr size_t MOST_TALLIES = 1024;

}  // namespace

std::string makeConductorKey(const char *given) {
    if (given != nullptr) return given;
    std::random_device randomness;
    std::uniform_int_distribution<int> digit(0, 15);
    std::string key;
    for (int i = 0; i < RANDOM_KEY_DIGITS; i++) key += "0123456789abcdef"[digit(randomness)];
    return key;
}

bool isConductorKey(boost::beast::string_view offered, const std::string &key) {
    unsigned difference = offered.size() == key.size() ? 0 : 1;
    for (size_t i = 0; i < key.size(); i++) {
        const char each = i < offered.size() ? offered[i] : '\0';
        difference |= static_cast<unsigned char>(each ^ key[i]);
    }
    return difference == 0;
}

void WrongKeyCount::count(const boost::asio::ip::address &from, Clock::time_point now) {
    auto tally = tallies.find(from);
    if (tally != tallies.end() && now - tally->second.since < WRONG_KEY_WINDOW) {
        tally->second.wrongKeys++;
        return;
    }
    if (tally == tallies.end() && tallies.size() >= MOST_TALLIES) {
        auto oldest = tallies.begin();
        for (auto each = tallies.begin(); each != tallies.end(); ++each) {
            if (each->second.since < oldest->second.since) oldest = each;
        }
        tallies.erase(oldest);
    }
    tallies[from] = {now, 1};
}

bool WrongKeyCount::shutOut(const boost::asio::ip::address &from, Clock::time_point now) const {
    const auto tally = tallies.find(from);
    return tally != tallies.end() && now - tally->second.since < WRONG_KEY_WINDOW &&
           tally->second.wrongKeys >= MOST_WRONG_KEYS;
}
