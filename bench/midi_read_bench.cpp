// Reads a generated file of about a million events over 16 tracks from memory through Mf_getc,
// with every hook installed, and prints the reading speed.
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "midi/midifile.h"
#include "support/midi_bytes.h"

using namespace midibytes;

namespace {
const int TRACKS = 16;
const int EVENTS_PER_TRACK = 62500;
const int RUNS = 5;

// Hooks that touch their arguments, so no call can be left out.
uint64_t checksum = 0;
int64_t events = 0;
int take(int a, int b = 0, int c = 0) {
    checksum += uint64_t(a) * 31 + uint64_t(b) * 7 + uint64_t(c) + uint64_t(Mf_currtime);
    events++;
    return 0;
}
int takeBuffer(int type, int length, const unsigned char *buffer) {
    for (int i = 0; i < length; i++) checksum += buffer[i];
    return take(type, length);
}

void installEveryHook() {
    Mf_error = [](const char *) { return 0; };
    Mf_header = [](int f, int t, int d) { return take(f, t, d); };
    Mf_starttrack = []() { return take(0); };
    Mf_noteoff = [](int c, int k, int v) { return take(c, k, v); };
    Mf_noteon = [](int c, int k, int v) { return take(c, k, v); };
    Mf_pressure = [](int c, int k, int p) { return take(c, k, p); };
    Mf_parameter = [](int c, int n, int v) { return take(c, n, v); };
    Mf_pitchbend = [](int c, int a, int b) { return take(c, a, b); };
    Mf_program = [](int c, int p) { return take(c, p); };
    Mf_chanpressure = [](int c, int p) { return take(c, p); };
    Mf_seqnum = [](int n) { return take(n); };
    Mf_text = takeBuffer;
    Mf_eot = []() { return take(1); };
    Mf_tempo = [](int32_t t) { return take(t); };
    Mf_smpte = [](int h, int m, int s, int f, int x) { return take(h + m, s + f, x); };
    Mf_timesig = [](int n, int d, int c, int b) { return take(n, d, c + b); };
    Mf_keysig = [](int sf, int mi) { return take(sf, mi); };
    Mf_seqspecific = takeBuffer;
}

// A song-like mix in groups of 16: mostly notes, with controllers, bends, program changes and
// meta events; every status is followed by events under running status.
Bytes trackEvents(int number) {
    Bytes out;
    uint8_t channel = uint8_t(number & 0x0F);
    for (int i = 0; i < EVENTS_PER_TRACK - 1; i++) {
        uint8_t key = uint8_t(36 + (i * 7 + number) % 60);
        uint8_t value = uint8_t(i & 0x7F);
        Bytes delta = varLen(uint32_t(i % 3 == 0 ? 0x83 : 0x18));
        Bytes event;
        switch (i % 16) {
            case 0: event = {uint8_t(0x90 | channel), key, 0x64}; break;
            case 1:
            case 2:
            case 3:
            case 4: event = {key, uint8_t(i & 1 ? 0 : 0x50)}; break;
            case 5: event = {uint8_t(0xB0 | channel), 0x07, value}; break;
            case 6:
            case 7:
            case 8: event = {0x0A, value}; break;
            case 9: event = {uint8_t(0xE0 | channel), 0x00, value}; break;
            case 10:
            case 11: event = {value, 0x40}; break;
            case 12: event = {uint8_t(0xC0 | channel), value}; break;
            case 13: event = {value}; break;
            case 14: event = {0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}; break;
            default: event = cat({{0xFF, 0x01}, varLen(5), text("verse")}); break;
        }
        out.insert(out.end(), delta.begin(), delta.end());
        out.insert(out.end(), event.begin(), event.end());
    }
    Bytes end = endOfTrack();
    out.insert(out.end(), end.begin(), end.end());
    return out;
}
}  // namespace

int main() {
    Bytes file = header(1, TRACKS, 480);
    for (int t = 0; t < TRACKS; t++) {
        Bytes chunk = track(trackEvents(t));
        file.insert(file.end(), chunk.begin(), chunk.end());
    }

    clearMidiHooks();
    installEveryHook();
    double best = 1e9;
    int64_t eventsPerRun = 0;
    for (int run = 0; run < RUNS; run++) {
        events = 0;
        serve(file.data(), file.size());
        auto start = std::chrono::steady_clock::now();
        int result = mfread();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (result != 0 || memorySource.position != file.size()) {
            std::printf("reading failed: result %d after %zu of %zu bytes\n", result, memorySource.position,
                        file.size());
            return 1;
        }
        eventsPerRun = events - 1 - TRACKS;  // less the header and track starts
        if (took.count() < best) best = took.count();
    }
    std::printf("file: %zu bytes, %" PRId64 " events over %d tracks\n", file.size(), eventsPerRun, TRACKS);
    std::printf("best of %d runs: %.2f ms, %.1f MB/s, %.2f million events/s (checksum %" PRIu64 ")\n", RUNS, best * 1e3,
                static_cast<double>(file.size()) / best / 1e6, static_cast<double>(eventsPerRun) / best / 1e6,
                checksum);
    return 0;
}
