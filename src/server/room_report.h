#pragma once
// What the song's loop tells the pages of the room, as the JSON texts of the room's snapshot (see
// concert/room_snapshot.h for their fields).
#include <cstddef>
#include <cstdint>
#include <string>

// The room's state now. state is "waiting", "playing", "paused", "between" or "over"; refusal
// the last file refused ("" when none).
std::string roomStateJson(const char *state, size_t song, const std::string &refusal);
// The notes of the song in the schedule, the song at index song, the version-th reading of it.
std::string songNotesJson(size_t song, uint64_t version);
// A text as a JSON string, quotes included; bytes that are not UTF-8 read as "?".
std::string jsonString(const std::string &text);
