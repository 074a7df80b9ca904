#include "web/conductor_command.h"

#include <cstdint>
#include <string>

#include "schedule/song_filter.h"
#include "shell/long_options.h"
#include "web/json_message.h"

namespace {

constexpr int LOWEST_TEMPO = 25;
constexpr int HIGHEST_TEMPO = 400;
constexpr int MOST_TRANSPOSE = 48;
constexpr int HIGHEST_KEY = 127;
constexpr long long MOST_SONGS = 100000;
constexpr long long ALL_CHANNELS = 0xFFFF;
constexpr long long LOUDEST = 127;
constexpr long long PAGE_VELOCITY = 100;  // a mouse or a computer's key has no velocity of its own
// A hand on a keyboard plays some tens of notes a second.
constexpr int MOST_LIVE_A_SECOND = 50;

// The four options, as on the command line: a range at least an octave wide, tracks as --tracks.
bool readOptions(const JsonValue &object, ConcertSongOptions &options) {
    long long channels = 0, transpose = 0, lowest = 0, highest = 0;
    const std::string *tracks = jsonText(jsonField(&object, "tracks"));
    const JsonValue *range = jsonField(&object, "range");
    if (!wholeNumber(jsonField(&object, "channels"), 0, ALL_CHANNELS, channels) ||
        !wholeNumber(jsonField(&object, "transpose"), -MOST_TRANSPOSE, MOST_TRANSPOSE, transpose) ||
        tracks == nullptr || range == nullptr || !range->is_array() || range->size() != 2 ||
        !wholeNumber(&(*range)[0], 0, HIGHEST_KEY, lowest) || !wholeNumber(&(*range)[1], 0, HIGHEST_KEY, highest) ||
        highest - lowest < OCTAVE - 1)
        return false;
    // The list is read as a C string: an escaped NUL would hide what follows it.
    NumberList list;
    if (tracks->find('\0') != std::string::npos || (!tracks->empty() && !readTrackList(tracks->c_str(), list)))
        return false;
    options = {static_cast<uint16_t>(channels), *tracks, static_cast<int>(transpose), static_cast<int>(lowest),
               static_cast<int>(highest)};
    return true;
}

ConcertCommand commandOf(ConcertCommandKind kind) {
    ConcertCommand command{};
    command.kind = kind;
    return command;
}

struct PlainCommand {
    const char *name;
    ConcertCommandKind kind;
};

constexpr PlainCommand PLAIN_COMMANDS[] = {
    {"start", ConcertCommandKind::Start}, {"stop", ConcertCommandKind::Stop},
    {"pause", ConcertCommandKind::Pause}, {"resume", ConcertCommandKind::Resume},
    {"next", ConcertCommandKind::Next},   {"previous", ConcertCommandKind::Previous},
};

// {"on":KEY,"velocity":V} or {"off":KEY}, nothing more.
bool readLive(const JsonValue &live, ConcertCommand &command) {
    long long key = 0, velocity = PAGE_VELOCITY;
    if (!live.is_object()) return false;
    const JsonValue *on = jsonField(&live, "on");
    const JsonValue *loudness = jsonField(&live, "velocity");
    if (on != nullptr) {
        if (live.size() != (loudness == nullptr ? 1U : 2U) || !wholeNumber(on, 0, HIGHEST_KEY, key) ||
            (loudness != nullptr && !wholeNumber(loudness, 1, LOUDEST, velocity)))
            return false;
        command = commandOf(ConcertCommandKind::LiveNoteOn);
        command.velocity = static_cast<int>(velocity);
    } else {
        if (live.size() != 1 || !wholeNumber(jsonField(&live, "off"), 0, HIGHEST_KEY, key)) return false;
        command = commandOf(ConcertCommandKind::LiveNoteOff);
    }
    command.key = static_cast<int>(key);
    return true;
}

}  // namespace

bool isLiveCommand(const ConcertCommand &command) {
    return command.kind == ConcertCommandKind::LiveNoteOn || command.kind == ConcertCommandKind::LiveNoteOff;
}

bool LiveKeyGate::pass(const ConcertCommand &command, Clock::time_point now) {
    if (now - second >= std::chrono::seconds(1)) {
        second = now;
        inSecond = 0;
    }
    const bool counted = ++inSecond <= MOST_LIVE_A_SECOND;
    const size_t key = static_cast<size_t>(command.key);
    if (command.kind == ConcertCommandKind::LiveNoteOn) {
        if (counted) held.set(key);
        return counted;
    }
    // A key let go that the page does not hold sounds nowhere.
    if (!held.test(key)) return false;
    held.reset(key);
    return true;
}

bool readConductorCommand(const std::string &text, ConcertCommand &command) {
    JsonValue object;
    if (!readJson(text, object)) return false;
    const JsonValue *live = jsonField(&object, "live");
    if (live != nullptr) return object.size() == 1 && readLive(*live, command);
    const std::string *name = jsonText(jsonField(&object, "cmd"));
    if (name == nullptr) return false;
    const std::string &cmd = *name;
    for (const PlainCommand &plain : PLAIN_COMMANDS) {
        if (cmd == plain.name) {
            command = commandOf(plain.kind);
            return true;
        }
    }
    long long first = 0, second = 0;
    if (cmd == "play" && wholeNumber(jsonField(&object, "song"), 0, MOST_SONGS, first)) {
        command = commandOf(ConcertCommandKind::PlaySong);
        command.index = static_cast<int>(first);
    } else if (cmd == "seek" && wholeNumber(jsonField(&object, "ms"), 0, INT32_MAX, first)) {
        command = commandOf(ConcertCommandKind::Seek);
        command.songMs = static_cast<int32_t>(first);
    } else if (cmd == "loop" && wholeNumber(jsonField(&object, "from"), 0, INT32_MAX, first) &&
               wholeNumber(jsonField(&object, "until"), 0, INT32_MAX, second)) {
        command = commandOf(ConcertCommandKind::Loop);
        command.songMs = static_cast<int32_t>(first);
        command.untilMs = static_cast<int32_t>(second);
    } else if (cmd == "tempo" && wholeNumber(jsonField(&object, "percent"), LOWEST_TEMPO, HIGHEST_TEMPO, first)) {
        command = commandOf(ConcertCommandKind::Tempo);
        command.percent = static_cast<int>(first);
    } else if (cmd == "options") {
        ConcertSongOptions options;
        if (!readOptions(object, options)) return false;
        command = commandOf(ConcertCommandKind::SongOptions);
        command.options = options;
    } else {
        return false;
    }
    return true;
}
