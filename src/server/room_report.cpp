#include "server/room_report.h"

#include <cstdio>

#include "concert/playlist.h"
#include "net/room_clock.h"
#include "platform/clock.h"
#include "schedule/note_schedule.h"
#include "schedule/song_filter.h"
#include "server/client_table.h"
#include "server/server_status.h"
#include "server/song_run.h"

namespace {

// The length of the UTF-8 sequence that starts the text at i, or 0 when it is none.
size_t utf8Length(const std::string &text, size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    if (lead >= 0xE0 && lead <= 0xEF) length = 3;
    if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    if (length == 0 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; k++) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    }
    return length;
}

std::string tracksText(const NumberList &tracks) {
    std::string text;
    for (const auto &range : tracks.ranges) {
        if (!text.empty()) text += ',';
        text += std::to_string(range.first);
        if (range.second != range.first) text += '-' + std::to_string(range.second);
    }
    return text;
}

std::string voicesJson() {
    std::string voices = "[";
    for (int id = 0; id < MAX_CLIENTS; id++) {
        const ClientSlot &slot = clientTable.slots[id];
        if (!slot.inUse) continue;
        if (voices.size() > 1) voices += ',';
        char roundTrip[32] = "null";
        if (slot.reported) snprintf(roundTrip, sizeof roundTrip, "%.2f", slot.roundTripMicros / 1000.0);
        const std::string address =
            std::string(slot.address.getHost()) + ":" + std::to_string(static_cast<int>(slot.address.getPort()));
        voices += R"({"id":)" + std::to_string(id) + R"(,"kind":")" + (slot.timed ? "pc" : "older pc") +
                  R"(","address":)" + jsonString(address) + R"(,"roundTripMs":)" + roundTrip + R"(,"late":)" +
                  (slot.reported ? std::to_string(slot.lateNotes) : "null") + R"(,"missed":)" +
                  (slot.reported ? std::to_string(slot.missedNotes) : "null") + "}";
    }
    return voices + "]";
}

std::string songsJson() {
    std::string songs = "[";
    for (size_t i = 0; i < playlistSize(); i++) {
        const PlaylistSong &song = playlistSong(i);
        if (i > 0) songs += ',';
        songs += R"({"name":)" + jsonString(song.name) + R"(,"lengthMs":)" +
                 (song.lengthMs < 0 ? "null" : std::to_string(song.lengthMs)) + "}";
    }
    return songs + "]";
}

}  // namespace

std::string jsonString(const std::string &text) {
    std::string quoted = "\"";
    for (size_t i = 0; i < text.size(); i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else if (c < 0x80) {
            quoted += static_cast<char>(c);
        } else if (const size_t length = utf8Length(text, i)) {
            quoted.append(text, i, length);
            i += length - 1;
        } else {
            quoted += '?';
        }
    }
    return quoted + "\"";
}

std::string roomStateJson(const char *state, size_t song, const std::string &refusal) {
    // A waiting song stands at its start, however long the room waits.
    const bool waiting = std::string(state) == "waiting";
    int32_t loopFrom = 0;
    int32_t loopUntil = 0;
    const std::string loop =
        songLoop(loopFrom, loopUntil) ? "[" + std::to_string(loopFrom) + "," + std::to_string(loopUntil) + "]" : "null";
    const std::string options =
        R"({"channels":)" + std::to_string(songFilter.channels) + R"(,"tracks":)" +
        jsonString(tracksText(songFilter.tracks)) + R"(,"transpose":)" + std::to_string(songFilter.transpose) +
        R"(,"range":[)" + std::to_string(songFilter.lowestKey) + "," + std::to_string(songFilter.highestKey) + "]}";
    return R"({"state":")" + std::string(state) + R"(","song":)" + std::to_string(song) + R"(,"songs":)" + songsJson() +
           R"(,"position":)" + std::to_string(waiting ? 0 : songMsNow()) + R"(,"at":)" +
           std::to_string(serverMicros(monotonicNanos())) + R"(,"tempo":)" + std::to_string(songTempo()) +
           R"(,"loop":)" + loop + R"(,"options":)" + options + R"(,"voices":)" + voicesJson() + R"(,"sent":)" +
           std::to_string(notesSent()) + R"(,"dropped":)" + std::to_string(notesDropped()) + R"(,"message":)" +
           jsonString(refusal) + R"(,"given":")" + givenMarks() + "\"}";
}

std::string songNotesJson(size_t song, uint64_t version) {
    std::string notes =
        R"({"song":)" + std::to_string(song) + R"(,"version":)" + std::to_string(version) + R"(,"notes":[)";
    bool first = true;
    for (const NoteRecord *note = noteSchedule.head; note != nullptr; note = note->next) {
        if (!first) notes += ',';
        first = false;
        notes += "[" + std::to_string(note->start) + "," + std::to_string(note->duration) + "," +
                 std::to_string(note->key) + "]";
    }
    return notes + "]}";
}
