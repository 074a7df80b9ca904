#include "midi/event_decoder.h"

#include <cstdint>

#include "midi/call_hook.h"
#include "midi/error_report.h"
#include "midi/meta_event.h"
#include "midi/midifile.h"
#include "midi/number_readers.h"
#include "midi/reader_state.h"

namespace {
int dataBytesNeeded(int status) {
    if (status >= 0xF0) return 0;
    if (status >= 0xC0 && status <= 0xDF) return 1;
    return 2;
}

int dispatch(int status, const int data[2]) {
    int channel = status & 0x0F;
    switch (status >> 4) {
        case 0x8: return callHook(Mf_noteoff, channel, data[0], data[1]);
        case 0x9: return callHook(Mf_noteon, channel, data[0], data[1]);
        case 0xA: return callHook(Mf_pressure, channel, data[0], data[1]);
        case 0xB: return callHook(Mf_parameter, channel, data[0], data[1]);
        case 0xC: return callHook(Mf_program, channel, data[0]);
        case 0xD: return callHook(Mf_chanpressure, channel, data[0]);
        case 0xE: return callHook(Mf_pitchbend, channel, data[0], data[1]);
        case 0xF: return readSystemOrMetaEvent(status);
        // Running status used before any status byte was read.
        default: return reportMidiError(MF_ILLEGAL_STATUS);
    }
}
}  // namespace

int decodeEvent() {
    int32_t delta = readVarLen();
    if (delta < 0) return delta;
    // Wraps instead of overflowing on a track of huge deltas.
    Mf_currtime = static_cast<int32_t>(static_cast<uint32_t>(Mf_currtime) + static_cast<uint32_t>(delta));

    int c = readCountedByte();
    if (c < 0) return c;
    int data[2] = {0, 0};
    int inHand = 0;
    if (c & 0x80) {
        mfRunningStatus = c;
    } else {
        data[inHand++] = c;
    }
    // A data byte in hand under a system status is dropped.
    for (; inHand < dataBytesNeeded(mfRunningStatus); inHand++) {
        c = readCountedByte();
        if (c < 0) return c;
        data[inHand] = c;
    }

    int result = dispatch(mfRunningStatus, data);
    return result < 0 ? result : 0;
}
