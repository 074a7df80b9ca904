#pragma once
// A conductor page's command, as the song's loop takes it.
#include <string>

#include "concert/concert_commands.h"

// {"cmd":"pause"}, {"cmd":"seek","ms":n} and the rest; false for anything malformed or out of
// range, which the socket then drops without a word.
bool readConductorCommand(const std::string &text, ConcertCommand &command);
