#include "midi/chunks.h"

#include "midi/call_hook.h"
#include "midi/error_report.h"
#include "midi/event_decoder.h"
#include "midi/midifile.h"
#include "midi/number_readers.h"
#include "midi/reader_state.h"

namespace {
// Reads four bytes and compares them with the chunk id. Returns 1 on a match, 0 on a mismatch,
// or the negative value of a failed read (already reported).
int readChunkId(const char *id) {
    bool match = true;
    for (int i = 0; i < 4; i++) {
        int c = readByte();
        if (c < 0) return c;
        if (c != static_cast<unsigned char>(id[i])) match = false;
    }
    return match ? 1 : 0;
}
}  // namespace

int readHeaderChunk() {
    int idMatch = readChunkId("MThd");
    if (idMatch < 0) return idMatch;
    if (idMatch == 0) return reportMidiError(MF_MTHD_EXPECTED);

    int32_t length = read32();
    if (length < 0) return length;
    if (length != 6) return reportMidiError(MF_ILLEGAL_HEADER_LENGTH);

    // A negative format, end of input included, is reported once more as a code of its own.
    int format = read16();
    if (format < 0) return reportMidiError(format);
    if (format > 2) return reportMidiError(MF_ILLEGAL_FORMAT);

    int tracks = read16();
    if (tracks < 0) return tracks;
    // Frame-based timing has the top bit set and so ends the reading here.
    int division = read16();
    if (division < 0) return division;

    int result = callHook(Mf_header, format, tracks, division);
    return result < 0 ? result : tracks;
}

int readTrackChunk() {
    Mf_currtime = 0;
    mfEndOfTrackSeen = false;

    int idMatch = readChunkId("MTrk");
    if (idMatch < 0) return idMatch;
    if (idMatch == 0) return reportMidiError(MF_MTRK_EXPECTED);

    int result = callHook(Mf_starttrack);
    if (result < 0) return result;

    Mf_toberead = read32();
    if (Mf_toberead < 0) return Mf_toberead;
    // Events after the end-of-track meta event but inside the length are still decoded.
    while (Mf_toberead > 0) {
        result = decodeEvent();
        if (result != 0) return result;
    }
    if (!mfEndOfTrackSeen) return reportMidiError(MF_MISSING_EOT);
    return 0;
}
