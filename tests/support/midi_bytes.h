#pragma once
// Builds Standard MIDI Files byte by byte and serves them to the reader from memory.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "midi/midifile.h"

namespace midibytes {

using Bytes = std::vector<uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline Bytes word32(uint32_t value) {
    return {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
}

inline Bytes word16(uint16_t value) {
    return {uint8_t(value >> 8), uint8_t(value)};
}

inline Bytes text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

// Shortest variable-length form, most significant group first.
inline Bytes varLen(uint32_t value) {
    Bytes out{uint8_t(value & 0x7F)};
    while (value >>= 7) out.insert(out.begin(), uint8_t(0x80 | (value & 0x7F)));
    return out;
}

inline Bytes header(uint16_t format, uint16_t tracks, uint16_t division) {
    return cat({text("MThd"), word32(6), word16(format), word16(tracks), word16(division)});
}

// A track chunk whose length is that of its events.
inline Bytes track(const Bytes &events) {
    return cat({text("MTrk"), word32(uint32_t(events.size())), events});
}

// A track chunk declaring a length of its own.
inline Bytes trackWithLength(uint32_t length, const Bytes &events) {
    return cat({text("MTrk"), word32(length), events});
}

inline Bytes meta(uint32_t delta, uint8_t type, const Bytes &data) {
    return cat({varLen(delta), {0xFF, type}, varLen(uint32_t(data.size())), data});
}

inline Bytes endOfTrack(uint32_t delta = 0) {
    return meta(delta, 0x2F, {});
}

inline Bytes song(uint16_t format, uint16_t division, std::initializer_list<Bytes> trackEvents) {
    Bytes out = header(format, uint16_t(trackEvents.size()), division);
    for (const Bytes &events : trackEvents) {
        Bytes chunk = track(events);
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return out;
}

// The file Mf_getc serves, and how many bytes it has handed out.
struct MemorySource {
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t position = 0;
};
inline MemorySource memorySource;

inline int memoryGetc() {
    if (memorySource.position >= memorySource.size) return -1;
    return memorySource.data[memorySource.position++];
}

// Installs Mf_getc over the given bytes, which must outlive the reading.
inline void serve(const uint8_t *data, size_t size) {
    memorySource = MemorySource{data, size, 0};
    Mf_getc = memoryGetc;
}

}  // namespace midibytes
