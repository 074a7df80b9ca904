#pragma once
// Pulling bytes and big-endian numbers through Mf_getc. Each reader reports what it finds wrong
// and returns a negative value for it; a caller hands that value up unchanged.
#include <cstdint>

#include "midi/error_report.h"
#include "midi/midifile.h"
#include "midi/reader_state.h"

// Inline, since every byte of a file passes through one of these two.

// One byte outside any track's count (chunk ids and lengths).
inline int readByte() {
    int c = Mf_getc();
    return c < 0 ? reportMidiError(c) : c;
}

// One byte counted against Mf_toberead: end of input or an exhausted count is premature end.
inline int readCountedByte() {
    int c = readByte();
    if (c < 0) return c;
    if (--Mf_toberead < 0) return reportMidiError(MF_PREMATURE_END);
    return c;
}
// Four bytes, most significant first, as a signed number: end of input gives -1, and a value
// with bit 31 set comes out negative.
int32_t read32();
// Two bytes, most significant first, as a signed number: end of input gives -1.
int16_t read16();
// A variable-length quantity counted against Mf_toberead. Top bits of a long quantity are
// shifted out; a value with bit 31 set comes out negative, unreported.
int32_t readVarLen();
