#include "midi/midifile.h"
#include "midi/reader_state.h"

int (*Mf_getc)() = nullptr;
int (*Mf_error)(const char *) = nullptr;
int (*Mf_header)(int, int, int) = nullptr;
int (*Mf_starttrack)() = nullptr;
int (*Mf_noteoff)(int, int, int) = nullptr;
int (*Mf_noteon)(int, int, int) = nullptr;
int (*Mf_pressure)(int, int, int) = nullptr;
int (*Mf_parameter)(int, int, int) = nullptr;
int (*Mf_pitchbend)(int, int, int) = nullptr;
int (*Mf_program)(int, int) = nullptr;
int (*Mf_chanpressure)(int, int) = nullptr;
int (*Mf_seqnum)(int) = nullptr;
int (*Mf_text)(int, int, const unsigned char *) = nullptr;
int (*Mf_eot)() = nullptr;
int (*Mf_tempo)(int32_t) = nullptr;
int (*Mf_smpte)(int, int, int, int, int) = nullptr;
int (*Mf_timesig)(int, int, int, int) = nullptr;
int (*Mf_keysig)(int, int) = nullptr;
int (*Mf_seqspecific)(int, int, const unsigned char *) = nullptr;
int (*Mf_sysex)(int, int32_t) = nullptr;

int32_t Mf_currtime = 0;
int32_t Mf_toberead = 0;
bool mfEndOfTrackSeen = false;
int mfRunningStatus = 0;

void clearMidiHooks() {
    Mf_getc = nullptr;
    Mf_error = nullptr;
    Mf_header = nullptr;
    Mf_starttrack = nullptr;
    Mf_noteoff = nullptr;
    Mf_noteon = nullptr;
    Mf_pressure = nullptr;
    Mf_parameter = nullptr;
    Mf_pitchbend = nullptr;
    Mf_program = nullptr;
    Mf_chanpressure = nullptr;
    Mf_seqnum = nullptr;
    Mf_text = nullptr;
    Mf_eot = nullptr;
    Mf_tempo = nullptr;
    Mf_smpte = nullptr;
    Mf_timesig = nullptr;
    Mf_keysig = nullptr;
    Mf_seqspecific = nullptr;
    Mf_sysex = nullptr;
    Mf_currtime = 0;
    Mf_toberead = 0;
    mfEndOfTrackSeen = false;
    mfRunningStatus = 0;
}
