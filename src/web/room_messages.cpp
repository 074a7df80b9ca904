#include "web/room_messages.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "web/json_message.h"

namespace {

// The loop reads its position from its own clock each time it publishes: a told position may drift
// from the line by a rounding, never by this much unless the transport moved.
constexpr double SAME_LINE_MS = 20;
constexpr double MICROS_PER_MILLI = 1000;
constexpr double FULL_TEMPO = 100;
constexpr char LOOPBACK_PREFIX[] = "127.0.0.1:";

// The song at index of the state's list, or nullptr when there is none.
const JsonValue *songAt(const JsonValue *songs, long long index) {
    if (songs == nullptr || !songs->is_array() || index < 0 || index >= static_cast<long long>(songs->size()))
        return nullptr;
    return &(*songs)[static_cast<size_t>(index)];
}

std::string songName(const JsonValue *songs, long long index) {
    const std::string *name = jsonText(jsonField(songAt(songs, index), "name"));
    return name == nullptr ? std::string() : *name;
}

}  // namespace

bool readAudienceSong(const std::string &stateJson, AudienceSong &song) {
    JsonValue state;
    if (!readJson(stateJson, state)) return false;
    const std::string *name = jsonText(jsonField(&state, "state"));
    const JsonValue *position = jsonField(&state, "position");
    const JsonValue *at = jsonField(&state, "at");
    const JsonValue *tempo = jsonField(&state, "tempo");
    long long whole = 0, atMicros = 0;
    double positionMs = 0, percent = 0;
    if (name == nullptr || !wholeNumber(jsonField(&state, "song"), -1, INT32_MAX, whole) ||
        !jsonNumber(position, positionMs) || !wholeNumber(at, 0, UINT32_MAX, atMicros) || !jsonNumber(tempo, percent))
        return false;
    song.state = *name;
    song.song = whole;
    song.positionMs = positionMs;
    song.at = static_cast<uint32_t>(atMicros);
    song.tempo = percent;
    const JsonValue *songs = jsonField(&state, "songs");
    const JsonValue *length = jsonField(songAt(songs, whole), "lengthMs");
    const bool begun = song.state != "waiting";
    const JsonValue told = {{"length", length != nullptr && length->is_number() ? *length : JsonValue(0)},
                            {"position", begun ? *position : JsonValue()},
                            {"at", begun ? *at : JsonValue()},
                            {"tempo", *tempo},
                            {"paused", song.state != "playing"},
                            {"name", songName(songs, whole)},
                            {"next", songName(songs, whole + 1)}};
    song.message = writeJson({{"song", told}});
    return true;
}

bool songMoved(const AudienceSong &told, const AudienceSong &now) {
    if (told.state != now.state || told.song != now.song || told.tempo != now.tempo) return true;
    // A waiting song's position is not told, however the loop counts it.
    if (now.state == "waiting") return false;
    if (now.state != "playing") return told.positionMs != now.positionMs;
    // The moments are 32-bit microseconds that wrap: their difference is the nearer way round.
    const auto sinceTold = static_cast<int32_t>(now.at - told.at);
    const double onTheLine = told.positionMs + sinceTold / MICROS_PER_MILLI * told.tempo / FULL_TEMPO;
    return std::fabs(now.positionMs - onTheLine) > SAME_LINE_MS;
}

std::string conductorStateMessage(const std::string &stateJson, const std::map<unsigned, std::string> &pageAddresses) {
    JsonValue state;
    if (!readJson(stateJson, state)) return R"({"state":)" + stateJson + "}";
    JsonValue *voices = jsonField(&state, "voices");
    if (voices != nullptr && voices->is_array()) {
        for (JsonValue &voice : *voices) {
            JsonValue *kind = jsonField(&voice, "kind");
            JsonValue *address = jsonField(&voice, "address");
            const std::string *addressText = jsonText(address);
            if (kind == nullptr || addressText == nullptr ||
                addressText->compare(0, sizeof LOOPBACK_PREFIX - 1, LOOPBACK_PREFIX) != 0)
                continue;
            const auto page =
                pageAddresses.find(static_cast<unsigned>(atoi(addressText->c_str() + sizeof LOOPBACK_PREFIX - 1)));
            if (page == pageAddresses.end()) continue;
            *kind = "page";
            *address = page->second;
        }
    }
    return R"({"state":)" + writeJson(state) + "}";
}
