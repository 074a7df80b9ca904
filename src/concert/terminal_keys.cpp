#include "concert/terminal_keys.h"

#include <utility>

#include "platform/console.h"

namespace {

constexpr int32_t SEEK_STEP_MS = 5000;
constexpr int TEMPO_STEP_PERCENT = 10;
constexpr unsigned char ESCAPE = 0x1b;
constexpr unsigned char BELL = 0x07;

using Within = TerminalKeyStream::Within;

bool asks(ConcertCommandKind kind, ConcertCommand &command) {
    command = {};
    command.kind = kind;
    return true;
}

bool seeks(int32_t songMs, ConcertCommand &command) {
    asks(ConcertCommandKind::SeekBy, command);
    command.songMs = songMs;
    return true;
}

bool changesTempo(int percent, ConcertCommand &command) {
    asks(ConcertCommandKind::TempoBy, command);
    command.percent = percent;
    return true;
}

// A key that types one byte; letters in either case, as Caps Lock may be on.
bool plainKey(unsigned char key, ConcertCommand &command) {
    switch (key) {
        case ' ': return asks(ConcertCommandKind::TogglePause, command);
        case '+':
        case '=': return changesTempo(TEMPO_STEP_PERCENT, command);
        case '-': return changesTempo(-TEMPO_STEP_PERCENT, command);
        case 'n':
        case 'N': return asks(ConcertCommandKind::Next, command);
        case 'p':
        case 'P': return asks(ConcertCommandKind::Previous, command);
        case 'q':
        case 'Q': return asks(ConcertCommandKind::Stop, command);
        default: return false;
    }
}

// The last byte of an arrow's sequence, which terminals send as ESC [ C or, in their
// application mode, ESC O C (D for the left one).
bool arrowKey(unsigned char last, ConcertCommand &command) {
    if (last == 'C') return seeks(SEEK_STEP_MS, command);
    if (last == 'D') return seeks(-SEEK_STEP_MS, command);
    return false;
}

// What follows ESC: a control sequence (ESC [, as the arrows send), a single shift to one more
// byte (ESC O, as the arrows send in a terminal's application mode), a string up to BEL or to
// ESC \ (ESC ] P X ^ _, as a terminal's answers come), or a single byte (a key pressed with Alt).
// ESC ESC is Escape pressed and then another key.
Within afterEscape(unsigned char byte) {
    switch (byte) {
        case ESCAPE: return Within::Escape;
        case '[': return Within::ControlSequence;
        case 'O': return Within::SingleShift;
        case ']':
        case 'P':
        case 'X':
        case '^':
        case '_': return Within::ControlString;
        default: return Within::Nothing;
    }
}

}  // namespace

bool takeTerminalByte(TerminalKeyStream &stream, unsigned char byte, ConcertCommand &command) {
    const Within within = stream.within;
    stream.within = Within::Nothing;
    switch (within) {
        case Within::Nothing:
            if (byte == ESCAPE) {
                stream.within = Within::Escape;
                return false;
            }
            return plainKey(byte, command);
        case Within::Escape: stream.within = afterEscape(byte); return false;
        case Within::ControlSequence:
            // Parameters and intermediates (0x20 to 0x3f) go on to the final byte; the modifiers
            // of Shift or Ctrl with an arrow (ESC [ 1 ; 5 C) are parameters.
            if (byte >= 0x20 && byte <= 0x3f) {
                stream.within = Within::ControlSequence;
                return false;
            }
            return arrowKey(byte, command);
        case Within::SingleShift: return arrowKey(byte, command);
        case Within::ControlString:
            if (byte == ESCAPE) {
                stream.within = Within::StringEscape;
            } else if (byte != BELL) {
                stream.within = Within::ControlString;
            }
            return false;
        case Within::StringEscape: return false;  // ESC \ ends the string; nothing else may come here
    }
    return false;
}

namespace {

bool keysAreRead = false;
TerminalKeyStream typedSoFar;  // only the thread that reads the keys touches it

void postKeyCommand(unsigned char byte) {
    ConcertCommand command{};
    if (takeTerminalByte(typedSoFar, byte, command)) postConcertCommand(std::move(command));
}

}  // namespace

void startTerminalKeys() {
    if (!standardInputIsTerminal() || !standardErrorIsTerminal()) return;
    keysAreRead = readTypedKeys(postKeyCommand);
}

bool terminalKeysAreRead() {
    return keysAreRead;
}
