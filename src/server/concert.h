#pragma once
// The server's side of a concert: which song of the playlist plays, what a conductor's command does
// to the room, and the room's snapshot for the pages.
#include <cstdint>

// The first song, loaded from -s, is the playlist's first (a live room has none).
void beginConcert();
// Acts on every command the conductor's page or the terminal has queued.
void actOnConcertCommands();
// The song in play is over. With another song to come the room stays: clients of the concert's
// version are told, and the next song starts after a short pause; true. False after the last one.
bool goOnAfterSong(int32_t position);
// Publishes the room's state for the pages when it is due (at once when forced); returns the
// nanoseconds until it is next due, -1 when the room is not on the web.
int64_t publishRoomStateWhenDue(bool forced);
