#pragma once
// A hook-driven reader of Standard MIDI Files. The reader keeps no song: it pulls bytes through
// Mf_getc, walks the header and track chunks, and reports every event it decodes by calling the
// installed hooks. An empty hook is skipped. Results: 0 or a count for success, negative for failure.
#include <cstdint>

// Error codes; the message table is indexed by the code's magnitude.
enum MidiError {
    MF_NO_ERROR = 0,
    MF_PREMATURE_END = -1,
    MF_MTHD_EXPECTED = -2,
    MF_GETC_UNDEFINED = -3,
    MF_ILLEGAL_HEADER_LENGTH = -4,
    MF_USER_DISAPPROVAL = -5,
    MF_ILLEGAL_FORMAT = -6,
    MF_MTRK_EXPECTED = -7,
    MF_ILLEGAL_SYSEX = -8,
    MF_INSUFFICIENT_MEMORY = -9,
    MF_ILLEGAL_STATUS = -10,
    MF_ILLEGAL_META_LENGTH = -11,
    MF_ILLEGAL_META_VALUE = -12,
    MF_UNKNOWN_META = 13,  // a warning, the only positive code
    MF_MISSING_EOT = -14,
};

// The hook table. Every entry is empty until a caller installs it.
extern int (*Mf_getc)();                      // next byte 0..255, or -1 at end of input
extern int (*Mf_error)(const char *message);  // every reported error or warning
extern int (*Mf_header)(int format, int tracks, int division);
extern int (*Mf_starttrack)();
extern int (*Mf_noteoff)(int channel, int key, int velocity);
extern int (*Mf_noteon)(int channel, int key, int velocity);
extern int (*Mf_pressure)(int channel, int key, int pressure);
extern int (*Mf_parameter)(int channel, int controller, int value);
extern int (*Mf_pitchbend)(int channel, int firstByte, int secondByte);
extern int (*Mf_program)(int channel, int program);
extern int (*Mf_chanpressure)(int channel, int pressure);
extern int (*Mf_seqnum)(int number);
extern int (*Mf_text)(int type, int length, const unsigned char *buffer);
extern int (*Mf_eot)();
extern int (*Mf_tempo)(int32_t tempo);  // microseconds per quarter note
extern int (*Mf_smpte)(int hours, int minutes, int seconds, int frames, int fractions);
extern int (*Mf_timesig)(int numerator, int denominator, int clocks, int thirtySeconds);
extern int (*Mf_keysig)(int sharpsFlats, int minor);
extern int (*Mf_seqspecific)(int type, int length, const unsigned char *buffer);
// A system-exclusive event (status 0xF0 or 0xF7), called after its bytes have been read past.
// While it is empty such an event is refused with MF_ILLEGAL_SYSEX.
extern int (*Mf_sysex)(int status, int32_t length);

// Absolute time in ticks of the event being decoded, from the start of its track.
extern int32_t Mf_currtime;

// Reads one whole file through the installed hooks: 0 when every announced track was read,
// otherwise the negative code of the first error or the negative result of the first hook that refused.
int mfread();

// Empties every hook and resets the reader's state (running status included).
void clearMidiHooks();
