#pragma once
// Runs the reader over a file held in memory and captures everything it says.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "midi/midifile.h"
#include "support/midi_bytes.h"
#include "support/midi_recorder.h"

namespace midiharness {

struct Outcome {
    int result;
    std::string out;  // standard output
    std::string err;  // standard error
    std::vector<std::string> log;
    size_t bytesRead;
};

// With FUZZ_CORPUS_ROOT set, a file a test reads is also kept as a seed of the given fuzz target.
inline void keepAsSeedOf(const char *target, const midibytes::Bytes &file) {
    const char *root = std::getenv("FUZZ_CORPUS_ROOT");
    if (!root) return;
    std::string content(file.begin(), file.end());
    std::string name =
        std::string(root) + "/corpus-" + target + "/" + std::to_string(std::hash<std::string>{}(content));
    if (FILE *f = std::fopen(name.c_str(), "wb")) {
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
}

// Every file the reader tests read seeds the midi_read fuzz target: its corpus starts from exactly
// what the tests read.
inline void keepAsSeed(const midibytes::Bytes &file) {
    keepAsSeedOf("midi_read", file);
}

// Reads the file with the hooks installed now.
inline Outcome readCaptured(const midibytes::Bytes &file) {
    keepAsSeed(file);
    midibytes::serve(file.data(), file.size());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = mfread();
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    return Outcome{result, out, err, midirecorder::log, midibytes::memorySource.position};
}

// A fresh reader with every hook recording.
inline void freshRecordingReader() {
    clearMidiHooks();
    midirecorder::installAllHooks();
}

// Reads the file with every hook recording.
inline Outcome readRecorded(const midibytes::Bytes &file) {
    freshRecordingReader();
    return readCaptured(file);
}

using Log = std::vector<std::string>;

// Reads the events of one format-0 track, with an end-of-track event after them.
inline Outcome readEvents(const midibytes::Bytes &events) {
    return readRecorded(midibytes::song(0, 96, {midibytes::cat({events, midibytes::endOfTrack()})}));
}

// The log without the header and track entries.
inline Log eventsOf(const Outcome &o) {
    Log events;
    for (const std::string &entry : o.log) {
        if (entry.rfind("header", 0) != 0 && entry.rfind("starttrack", 0) != 0) events.push_back(entry);
    }
    return events;
}

}  // namespace midiharness
