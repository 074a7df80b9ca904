#pragma once
// How the reader reports an error or a warning by its code.

// The message for a code; codes outside the table get a message of their own.
const char *midiErrorMessage(int code);

// Prints "Error:<code>" (no newline) and hands the message to Mf_error, when Mf_error is
// installed; nothing otherwise. Returns the code, so a routine can end with `return reportMidiError(c)`.
int reportMidiError(int code);

// The unknown-meta-event warning: Mf_error alone, no "Error:" line. Returns Mf_error's result
// (0 when it is not installed); a negative result stops the reading.
int warnUnknownMetaEvent();
