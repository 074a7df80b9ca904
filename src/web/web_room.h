#pragma once
// The room on the web (--web): the server also serves a page and a WebSocket, so that a phone or a
// laptop joins from its browser and plays its notes on the room's clock, and a conductor's page
// under a key of its own, from which a teacher steers the song.
//
// It runs in a thread of its own, and the song's loop never waits for it. Each joined page is
// bridged to a datagram socket on the loopback that speaks to the server exactly as a PC that
// knows the room's clock does, so the server counts, serves and releases a page like any PC. What
// the pages see of the song comes from the room's snapshot, which the loop publishes, and a
// conductor's commands go to the loop through its command queue; nothing else is shared.
constexpr int DEFAULT_WEB_PORT = 27080;

// Serves the pages on every interface at the port and tells on standard error where to open them
// (with a QR code of the audience's first address when standard error is a terminal). The
// conductor's key is the one given, or a random one when conductorKey is nullptr. When the port
// cannot be served it says why and the room plays on without it.
void startWebRoom(int port, const char *conductorKey);
// At the end of the run: every page is told the song is over, given a moment to hear it, and the
// thread ends. Does nothing when the room is not on the web.
void stopWebRoom();
