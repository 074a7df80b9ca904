#include "midi/number_readers.h"

// Bits are gathered unsigned so that a shift into or out of bit 31 is well defined; the
// conversion to signed at the end wraps as two's complement.
int32_t read32() {
    uint32_t value = 0;
    for (int i = 0; i < 4; i++) {
        int c = readByte();
        if (c < 0) return c;
        value = (value << 8) | static_cast<uint8_t>(c);
    }
    return static_cast<int32_t>(value);
}

int16_t read16() {
    uint16_t value = 0;
    for (int i = 0; i < 2; i++) {
        int c = readByte();
        if (c < 0) return static_cast<int16_t>(c);
        value = static_cast<uint16_t>((value << 8) | static_cast<uint8_t>(c));
    }
    return static_cast<int16_t>(value);
}

int32_t readVarLen() {
    uint32_t value = 0;
    int c;
    do {
        c = readCountedByte();
        if (c < 0) return c;
        value = (value << 7) + (static_cast<uint32_t>(c) & 0x7F);
    } while (c & 0x80);
    return static_cast<int32_t>(value);
}
