#pragma once
// The keys a conductor presses at the server's own terminal, each turned into a command for the
// song's loop: space pauses or goes on, the left and right arrows seek 5 s, + (or =) and - change
// the tempo by 10 %, n and p change the song, q stops the run.
#include "concert/concert_commands.h"

// Where the bytes typed so far stand: a key's bytes come one by one, and an arrow or any other
// special key comes as an escape sequence of several.
struct TerminalKeyStream {
    enum class Within { Nothing, Escape, ControlSequence, SingleShift, ControlString, StringEscape };
    Within within = Within::Nothing;
};

// Takes the next byte typed. True when it ends a key that asks something, which command then
// holds; the bytes of other keys and escape sequences are read past.
bool takeTerminalByte(TerminalKeyStream &stream, unsigned char byte, ConcertCommand &command);

// When standard input and standard error are both terminals (a person at the server's console
// watching the status line), reads the keys typed there from now on and posts their commands.
// Otherwise does nothing.
void startTerminalKeys();

// Whether keys are read, so that the status line tells them.
bool terminalKeysAreRead();
