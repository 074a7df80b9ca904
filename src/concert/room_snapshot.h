#pragma once
// What the pages see of the room, published by the song's loop and read by the web thread: the
// only thing that crosses from the loop to the pages. The loop publishes whole JSON texts; a reader
// gets a copy of the newest, and a watcher is told that a newer one waits.
#include <cstdint>
#include <string>

// The room's state (songs, position, transport, options, voices), published whenever it changes
// and at least four times a second while a song plays. Its fields:
//   "state": "waiting" (for the start), "playing", "paused", "between" (songs) or "over";
//   "song": the index of the song in "songs", a list of {"name","lengthMs"};
//   "position": the song's position in milliseconds of the file's own time, at "at", the server's
//   clock in microseconds kept to 32 bits (as in the protocol); "tempo": percent;
//   "loop": [from, until] in the song's milliseconds, or null;
//   "options": {"channels": bit mask, "tracks": text, "transpose": n, "range": [low, high]};
//   "voices": a list of {"id","kind" ("pc", "older pc" or "page"),"address","roundTripMs","late",
//   "missed"}; "sent", "dropped": the song's notes so far; "message": the last refusal (a file
//   that could not be read), "" when none.
// "given" is one character per note of the song's "notes" (below): "." not given yet, "-" dropped,
// and "A" + id (A to Z, then a to f) for the voice that played it.
void publishRoomState(std::string stateJson);
// The song's notes, once per song and whenever the song's options change: {"song": index,
// "version": n, "notes": [[startMs, lengthMs, key], ...]} in the order of their starts.
void publishSongNotes(std::string notesJson);

struct RoomSnapshot {
    std::string stateJson;
    std::string notesJson;
    uint64_t stateVersion;  // counts the publications: a reader sends only what is newer
    uint64_t notesVersion;
};
RoomSnapshot readRoomSnapshot();

// Called (on the publishing thread) after each publication, so that the web thread can wake and
// send it on; it must not wait. Set once, before the song's loop begins.
void watchRoomSnapshot(void (*published)());
