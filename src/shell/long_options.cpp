#include "shell/long_options.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "concert/playlist.h"
#include "net/protocol.h"
#include "schedule/note_schedule.h"
#include "schedule/song_filter.h"
#include "server/server_status.h"
#include "shell/run_state.h"

namespace {

constexpr int MAX_TRACK = 65535;
constexpr int MAX_TRANSPOSE = 48;
constexpr int MAX_LATENCY_MS = 1000;
constexpr int MAX_PORT = 65535;
constexpr int MAX_LIVE_LEAD_MS = 1000;

// A decimal number from lowest to highest at the start of the text; text is left after it.
bool readNumber(const char *&text, int lowest, int highest, int &number) {
    if (*text != '-' && *text != '+' && (*text < '0' || *text > '9')) return false;
    char *end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (end == text || errno != 0 || value < lowest || value > highest) return false;
    number = static_cast<int>(value);
    text = end;
    return true;
}

// "N" or "N-M" with N <= M.
bool readRange(const char *&text, int lowest, int highest, std::pair<int, int> &range) {
    if (*text == '-' || *text == '+' || !readNumber(text, lowest, highest, range.first)) return false;
    range.second = range.first;
    if (*text != '-') return true;
    text++;
    if (*text == '-' || *text == '+') return false;
    return readNumber(text, lowest, highest, range.second) && range.first <= range.second;
}

// Ranges separated by commas, the whole text.
bool readList(const char *text, int lowest, int highest, NumberList &list) {
    list.ranges.clear();
    do {
        std::pair<int, int> range;
        if (!readRange(text, lowest, highest, range)) return false;
        list.ranges.push_back(range);
    } while (*text++ == ',');
    return text[-1] == '\0';
}

bool applyChannels(const char *value) {
    NumberList chosen;
    if (!readList(value, 1, CHANNEL_COUNT, chosen)) return false;
    songFilter.channels = 0;
    for (int channel = 1; channel <= CHANNEL_COUNT; channel++) {
        if (listHolds(chosen, channel)) songFilter.channels |= static_cast<uint16_t>(1U << (channel - 1));
    }
    return true;
}

bool applyTracks(const char *value) {
    return readList(value, 1, MAX_TRACK, songFilter.tracks);
}

bool applyTranspose(const char *value) {
    return readNumber(value, -MAX_TRANSPOSE, MAX_TRANSPOSE, songFilter.transpose) && *value == '\0';
}

bool applyRange(const char *value) {
    std::pair<int, int> range;
    if (!readRange(value, 0, KEY_COUNT - 1, range) || *value != '\0') return false;
    if (range.second - range.first < OCTAVE - 1) return false;
    songFilter.lowestKey = range.first;
    songFilter.highestKey = range.second;
    return true;
}

bool applyLead(const char *value) {
    return readNumber(value, 0, LONGEST_LEAD_MS, runState.leadMs) && *value == '\0';
}

bool applyProtocol(const char *value) {
    return readNumber(value, 1, LIVE_PROTOCOL_VERSION, runState.protocolVersion) && *value == '\0';
}

bool applyLatency(const char *value) {
    return readNumber(value, 0, MAX_LATENCY_MS, runState.latencyMs) && *value == '\0';
}

bool applyWebPort(const char *value) {
    return readNumber(value, 1, MAX_PORT, runState.webPort) && *value == '\0';
}

bool applyLiveLead(const char *value) {
    return readNumber(value, 0, MAX_LIVE_LEAD_MS, runState.liveLeadMs) && *value == '\0';
}

// RTP-MIDI takes two ports, the data port following the control port.
bool applyRtpMidiPort(const char *value) {
    return readNumber(value, 1, MAX_PORT - 1, runState.rtpMidiPort) && *value == '\0';
}

// A key goes into the conductor's address, so it is kept to what an address carries as it is, and
// long enough that nobody guesses it.
constexpr size_t SHORTEST_KEY = 16;
constexpr size_t LONGEST_KEY = 128;

bool applyConductorKey(const char *value) {
    const size_t length = strlen(value);
    if (length < SHORTEST_KEY || length > LONGEST_KEY) return false;
    for (const char *c = value; *c != '\0'; c++) {
        if (isalnum(static_cast<unsigned char>(*c)) == 0 && *c != '-' && *c != '_') return false;
    }
    runState.conductorKey = value;
    return true;
}

bool applyPlaylist(const char *value) {
    runState.playlistPath = value;
    return readPlaylist(value);
}

bool noDrums = false;

struct LongOption {
    const char *name;
    const char *form;                  // what its value looks like; nullptr: it takes none
    bool (*apply)(const char *value);  // with a value
    bool *flag;                        // without: set to true
    const char *implied = nullptr;     // the value when the next argument is not a number
};

const LongOption SERVER_OPTIONS[] = {
    {"--channels", "a list of channels from 1 to 16, such as 1-9,11-16", applyChannels, nullptr},
    {"--no-drums", nullptr, nullptr, &noDrums},
    {"--tracks", "a list of tracks numbered from 1, such as 1,3-5", applyTracks, nullptr},
    {"--transpose", "a number of semitones from -48 to 48, such as -12", applyTranspose, nullptr},
    {"--range", "LOW-HIGH, two keys from 0 to 127 at least 11 apart (an octave), such as 48-84", applyRange, nullptr},
    {"--skip-sysex", nullptr, nullptr, &songFilter.skipSysex},
    {"--stats", nullptr, nullptr, &statsRequested},
    {"--lead", "a number of milliseconds from 0 to 10000, such as 150", applyLead, nullptr},
    {"--web", "a port from 1 to 65535, such as 8080, or nothing for 27080", applyWebPort, nullptr, "27080"},
    {"--playlist", "a folder of .mid files or a file that names one song a line", applyPlaylist, nullptr},
    {"--conductor-key", "16 to 128 letters, digits, - or _", applyConductorKey, nullptr},
    {"--live-lead", "a number of milliseconds from 0 to 1000, such as 20", applyLiveLead, nullptr},
    {"--rtp-midi", "a port from 1 to 65534, such as 5004, or nothing for 5004", applyRtpMidiPort, nullptr, "5004"},
};

const LongOption CLIENT_OPTIONS[] = {
    {"--protocol", "1 (play notes as they come, as older clients), 2 (keep the room's clock), 3 (the concert) or 4",
     applyProtocol, nullptr},
    {"--latency", "a number of milliseconds from 0 to 1000, such as 40", applyLatency, nullptr},
    {"--show-clock", nullptr, nullptr, &runState.showClock},
};

template <size_t N>
bool readLongOptions(int argc, char **argv, int skippedArg, const LongOption (&options)[N]) {
    for (int i = 1; i < argc; i++) {
        if (i == skippedArg) continue;
        for (const LongOption &option : options) {
            if (strcmp(argv[i], option.name) != 0) continue;
            if (option.form == nullptr) {
                *option.flag = true;
                break;
            }
            if (option.implied != nullptr && (i + 1 >= argc || argv[i + 1][0] < '0' || argv[i + 1][0] > '9')) {
                option.apply(option.implied);
                break;
            }
            if (i + 1 >= argc || !option.apply(argv[i + 1])) {
                fprintf(stderr, "tonecast: %s takes %s\n", option.name, option.form);
                return false;
            }
            i++;
            break;
        }
    }
    return true;
}

}  // namespace

bool readServerOptions(int argc, char **argv, int fileArg) {
    if (!readLongOptions(argc, argv, fileArg, SERVER_OPTIONS)) return false;
    if (noDrums) songFilter.channels &= static_cast<uint16_t>(~(1U << (DRUM_CHANNEL - 1)));
    return true;
}

bool readTrackList(const char *text, NumberList &tracks) {
    return readList(text, 1, MAX_TRACK, tracks);
}

bool readClientOptions(int argc, char **argv) {
    return readLongOptions(argc, argv, 0, CLIENT_OPTIONS);
}
