#pragma once
// Pulling bytes and big-endian numbers through Mf_getc. Each reader reports what it finds wrong
// and returns a negative value for it; a caller hands that value up unchanged.
#include <cstdint>

// One byte outside any track's count (chunk ids and lengths).
int readByte();
// One byte counted against Mf_toberead: end of input or an exhausted count is premature end.
int readCountedByte();
// Four bytes, most significant first, as a signed number: end of input gives -1, and a value
// with bit 31 set comes out negative.
int32_t read32();
// Two bytes, most significant first, as a signed number: end of input gives -1.
int16_t read16();
// A variable-length quantity counted against Mf_toberead. Top bits of a long quantity are
// shifted out; a value with bit 31 set comes out negative, unreported.
int32_t readVarLen();
