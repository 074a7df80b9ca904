#pragma once
// Hooks that write every call they get into a log, so a test can compare what the reader reported
// with what it should have. Every hook can be told to refuse with a given result.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "midi/midifile.h"

namespace midirecorder {

inline std::vector<std::string> log;
// The hook of this name returns `refusal`; every other returns 0 (Mf_error returns errorResult).
inline std::string refusingHook;
inline int refusal = 0;
inline int errorResult = 0;

inline std::string join(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += " " + std::to_string(v);
    return out;
}

// Events carry the time they were decoded at.
inline int record(const std::string &name, const std::string &args) {
    log.push_back(name + args + " @" + std::to_string(Mf_currtime));
    return name == refusingHook ? refusal : 0;
}

inline std::string bufferText(int length, const unsigned char *buffer) {
    if (length == 0) return buffer ? " <buffer>" : " <none>";
    return " " + std::string(reinterpret_cast<const char *>(buffer), size_t(length));
}

inline void installAllHooks() {
    log.clear();
    refusingHook.clear();
    refusal = 0;
    errorResult = 0;
    Mf_error = [](const char *message) {
        log.push_back(std::string("error ") + message);
        return errorResult;
    };
    Mf_header = [](int f, int t, int d) { return record("header", join({f, t, d})); };
    Mf_starttrack = []() { return record("starttrack", ""); };
    Mf_noteoff = [](int c, int k, int v) { return record("noteoff", join({c, k, v})); };
    Mf_noteon = [](int c, int k, int v) { return record("noteon", join({c, k, v})); };
    Mf_pressure = [](int c, int k, int p) { return record("pressure", join({c, k, p})); };
    Mf_parameter = [](int c, int n, int v) { return record("parameter", join({c, n, v})); };
    Mf_pitchbend = [](int c, int a, int b) { return record("pitchbend", join({c, a, b})); };
    Mf_program = [](int c, int p) { return record("program", join({c, p})); };
    Mf_chanpressure = [](int c, int p) { return record("chanpressure", join({c, p})); };
    Mf_seqnum = [](int n) { return record("seqnum", join({n})); };
    Mf_text = [](int type, int length, const unsigned char *buffer) {
        return record("text", join({type, length}) + bufferText(length, buffer));
    };
    Mf_eot = []() { return record("eot", ""); };
    Mf_tempo = [](int32_t t) { return record("tempo", join({int(t)})); };
    Mf_smpte = [](int h, int m, int s, int f, int x) { return record("smpte", join({h, m, s, f, x})); };
    Mf_timesig = [](int n, int d, int c, int b) { return record("timesig", join({n, d, c, b})); };
    Mf_keysig = [](int sf, int mi) { return record("keysig", join({sf, mi})); };
    Mf_seqspecific = [](int type, int length, const unsigned char *buffer) {
        return record("seqspecific", join({type, length}) + bufferText(length, buffer));
    };
}

}  // namespace midirecorder
