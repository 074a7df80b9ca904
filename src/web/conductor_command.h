#pragma once
// A conductor page's command, as the song's loop takes it.
#include <bitset>
#include <chrono>
#include <string>

#include "concert/concert_commands.h"

// {"cmd":"pause"}, {"cmd":"seek","ms":n} and the rest, and the page's keyboard: {"live":{"on":KEY,
// "velocity":V}} (V 1 to 127, 100 when not given) and {"live":{"off":KEY}}, KEY 0 to 127, read as
// LiveNoteOn and LiveNoteOff of no source yet. False for anything malformed or out of range, which
// the socket then drops without a word.
bool readConductorCommand(const std::string &text, ConcertCommand &command);

bool isLiveCommand(const ConcertCommand &command);

// One page's keys on their way to the song's loop: at most 50 a second pass, the rest are dropped,
// except the let-go of a key the page holds, so that a flood never leaves a tone sounding on.
class LiveKeyGate {
public:
    using Clock = std::chrono::steady_clock;
    // Whether the live command goes on; what passes is what the page then holds.
    bool pass(const ConcertCommand &command, Clock::time_point now);
    bool holdsAny() const { return held.any(); }

private:
    std::bitset<128> held;
    Clock::time_point second;  // the second the keys are counted in
    int inSecond = 0;
};
