#include "web/room_messages.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "web/json_value.h"

namespace {

// The loop reads its position from its own clock each time it publishes: a told position may drift
// from the line by a rounding, never by this much unless the transport moved.
constexpr double SAME_LINE_MS = 20;
constexpr double MICROS_PER_MILLI = 1000;
constexpr double FULL_TEMPO = 100;
constexpr char LOOPBACK_PREFIX[] = "127.0.0.1:";

// The name of the song at index as a JSON text, "" when there is none.
std::string songName(const JsonValue *songs, long long index) {
    if (songs == nullptr || songs->kind != JsonValue::Kind::List || index < 0 ||
        index >= static_cast<long long>(songs->items.size()))
        return "\"\"";
    const JsonValue *name = songs->items[static_cast<size_t>(index)].field("name");
    return name != nullptr && name->kind == JsonValue::Kind::Text ? writeJson(*name) : "\"\"";
}

std::string songLength(const JsonValue *songs, long long index) {
    if (songs == nullptr || songs->kind != JsonValue::Kind::List || index < 0 ||
        index >= static_cast<long long>(songs->items.size()))
        return "0";
    const JsonValue *length = songs->items[static_cast<size_t>(index)].field("lengthMs");
    return length != nullptr && length->kind == JsonValue::Kind::Number ? length->text : "0";
}

}  // namespace

bool readAudienceSong(const std::string &stateJson, AudienceSong &song) {
    JsonValue state;
    if (!readJson(stateJson, state)) return false;
    const JsonValue *name = state.field("state");
    const JsonValue *index = state.field("song");
    const JsonValue *position = state.field("position");
    const JsonValue *at = state.field("at");
    const JsonValue *tempo = state.field("tempo");
    long long whole = 0, atMicros = 0;
    if (name == nullptr || name->kind != JsonValue::Kind::Text || index == nullptr ||
        !index->wholeNumber(-1, INT32_MAX, whole) || position == nullptr || position->kind != JsonValue::Kind::Number ||
        at == nullptr || !at->wholeNumber(0, UINT32_MAX, atMicros) || tempo == nullptr ||
        tempo->kind != JsonValue::Kind::Number)
        return false;
    song.state = name->text;
    song.song = whole;
    song.positionMs = position->number;
    song.at = static_cast<uint32_t>(atMicros);
    song.tempo = tempo->number;
    const JsonValue *songs = state.field("songs");
    const bool begun = song.state != "waiting";
    song.message = R"({"song":{"length":)" + songLength(songs, whole) + R"(,"position":)" +
                   (begun ? position->text : "null") + R"(,"at":)" + (begun ? at->text : "null") + R"(,"tempo":)" +
                   tempo->text + R"(,"paused":)" + (song.state == "playing" ? "false" : "true") + R"(,"name":)" +
                   songName(songs, whole) + R"(,"next":)" + songName(songs, whole + 1) + "}}";
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
    JsonValue *voices = state.field("voices");
    if (voices != nullptr && voices->kind == JsonValue::Kind::List) {
        for (JsonValue &voice : voices->items) {
            JsonValue *kind = voice.field("kind");
            JsonValue *address = voice.field("address");
            if (kind == nullptr || address == nullptr || address->kind != JsonValue::Kind::Text ||
                address->text.compare(0, sizeof LOOPBACK_PREFIX - 1, LOOPBACK_PREFIX) != 0)
                continue;
            const auto page =
                pageAddresses.find(static_cast<unsigned>(atoi(address->text.c_str() + sizeof LOOPBACK_PREFIX - 1)));
            if (page == pageAddresses.end()) continue;
            kind->kind = JsonValue::Kind::Text;
            kind->text = "page";
            address->text = page->second;  // an address and port: nothing in it to escape
        }
    }
    return R"({"state":)" + writeJson(state) + "}";
}
