#include "midi/error_report.h"

#include <cstdio>

#include "midi/midifile.h"

namespace {
// Indexed by the code's magnitude.
const char *const MESSAGES[] = {
    "No error",
    "Premature end of file",
    "'MThd' expected",
    "'Mf_getc' undefined",
    "Illegal header length",
    "User disapproval",
    "Illegal file format",
    "'MTrk' expected",
    "Illegal system-exclusive message type",
    "Insufficient memory",
    "Illegal status byte",
    "Illegal meta-event length",
    "Illegal value in meta-event",
    "Unknown meta-event",
    "Missing end-of-track meta-event",
};
const int MESSAGE_COUNT = sizeof MESSAGES / sizeof MESSAGES[0];
// A negative format word can be any code down to -32768.
const char *const UNKNOWN_CODE_MESSAGE = "Unknown error";
}  // namespace

const char *midiErrorMessage(int code) {
    // Compared before negating, so that no code can overflow.
    if (code <= -MESSAGE_COUNT || code >= MESSAGE_COUNT) return UNKNOWN_CODE_MESSAGE;
    return MESSAGES[code < 0 ? -code : code];
}

int reportMidiError(int code) {
    if (Mf_error) {
        std::printf("Error:%d", code);
        Mf_error(midiErrorMessage(code));
    }
    return code;
}

int warnUnknownMetaEvent() {
    return Mf_error ? Mf_error(midiErrorMessage(MF_UNKNOWN_META)) : 0;
}
