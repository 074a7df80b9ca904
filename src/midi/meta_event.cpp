#include "midi/meta_event.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "midi/call_hook.h"
#include "midi/error_report.h"
#include "midi/midifile.h"
#include "midi/number_readers.h"
#include "midi/reader_state.h"

namespace {
const int32_t FIRST_ALLOCATION = 4096;

// Reads a meta event's data into a heap buffer of exactly `length` bytes (length > 0). The buffer
// grows with the bytes that actually arrive, so a length the input does not back up costs no more
// memory than the input itself. Returns the buffer, or nullptr with *error set to a negative value.
unsigned char *readMetaData(int32_t length, int *error) {
    int32_t capacity = length < FIRST_ALLOCATION ? length : FIRST_ALLOCATION;
    unsigned char *buffer = static_cast<unsigned char *>(std::malloc(capacity));
    if (!buffer) {
        *error = reportMidiError(MF_INSUFFICIENT_MEMORY);
        return nullptr;
    }
    for (int32_t i = 0; i < length; i++) {
        if (i == capacity) {
            capacity = capacity > length / 2 ? length : capacity * 2;
            unsigned char *grown = static_cast<unsigned char *>(std::realloc(buffer, capacity));
            if (!grown) {
                std::free(buffer);
                *error = reportMidiError(MF_INSUFFICIENT_MEMORY);
                return nullptr;
            }
            buffer = grown;
        }
        int c = readCountedByte();
        if (c < 0) {
            std::free(buffer);
            *error = c;
            return nullptr;
        }
        buffer[i] = static_cast<unsigned char>(c);
    }
    return buffer;
}

int signedByte(unsigned char byte) {
    return static_cast<int8_t>(byte);
}

// Checks the length and values of a meta event and calls its hook. Returns the hook's result,
// a reported code, or the unknown-meta-event warning's verdict.
int handMetaEvent(int type, int32_t length, const unsigned char *data) {
    switch (type) {
        case 0x00:
            if (length != 2) return reportMidiError(MF_ILLEGAL_META_LENGTH);
            return callHook(Mf_seqnum, (data[0] << 8) | data[1]);
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06:
        case 0x07: return callHook(Mf_text, type, static_cast<int>(length), data);
        case 0x2F: {
            if (length != 0) return reportMidiError(MF_ILLEGAL_META_LENGTH);
            int result = callHook(Mf_eot);
            if (result >= 0) mfEndOfTrackSeen = true;
            return result;
        }
        case 0x51:
            if (length != 3) return reportMidiError(MF_ILLEGAL_META_LENGTH);
            return callHook(Mf_tempo, static_cast<int32_t>((data[0] << 16) | (data[1] << 8) | data[2]));
        case 0x54:
            if (length != 5) return reportMidiError(MF_ILLEGAL_META_LENGTH);
            return callHook(Mf_smpte, signedByte(data[0]), signedByte(data[1]), signedByte(data[2]),
                            signedByte(data[3]), signedByte(data[4]));
        case 0x58:
            if (length != 4) return reportMidiError(MF_ILLEGAL_META_LENGTH);
            return callHook(Mf_timesig, signedByte(data[0]), signedByte(data[1]), signedByte(data[2]),
                            signedByte(data[3]));
        case 0x59: {
            if (length != 2) return reportMidiError(MF_ILLEGAL_META_LENGTH);
            int sharpsFlats = signedByte(data[0]);
            int minor = signedByte(data[1]);
            if (sharpsFlats < -7 || sharpsFlats > 7 || (minor != 0 && minor != 1)) {
                return reportMidiError(MF_ILLEGAL_META_VALUE);
            }
            return callHook(Mf_keysig, sharpsFlats, minor);
        }
        case 0x7F: return callHook(Mf_seqspecific, 0, static_cast<int>(length), data);
        default: return warnUnknownMetaEvent();
    }
}

// A system-exclusive event read past by its length, for a caller that takes such events.
int skipSysexEvent(int status) {
    int32_t length = readVarLen();
    if (length < 0) return length;
    if (length > Mf_toberead) return reportMidiError(MF_PREMATURE_END);
    for (int32_t i = 0; i < length; i++) {
        int c = readCountedByte();
        if (c < 0) return c;
    }
    return callHook(Mf_sysex, status, length);
}

}  // namespace

int readSystemOrMetaEvent(int status) {
    const bool sysex = status == 0xF0 || status == 0xF7;
    if (sysex && Mf_sysex != nullptr) return skipSysexEvent(status);
    if (status != 0xFF) {
        if (status == 0xF0) std::fputs("Sorry, no complete SysEx messages\n", stderr);
        if (status == 0xF7) std::fputs("Sorry, no incomplete SysEx messages\n", stderr);
        return reportMidiError(MF_ILLEGAL_SYSEX);
    }

    int type = readCountedByte();
    if (type < 0) return type;
    int32_t length = readVarLen();
    if (length < 0) return length;
    // A length past the track's end would run out of count anyway; saying so before allocating
    // keeps a tiny file from asking for gigabytes.
    if (length > Mf_toberead) return reportMidiError(MF_PREMATURE_END);

    unsigned char *data = nullptr;
    if (length > 0) {
        int error = 0;
        data = readMetaData(length, &error);
        if (data == nullptr) return error;
    }
    int result = handMetaEvent(type, length, data);
    std::free(data);
    return result < 0 ? result : 0;
}
