#pragma once
// The room on the web (--web): the server also serves a page and a WebSocket, so that a phone or a
// laptop joins from its browser and plays its notes on the room's clock.
//
// It runs in a thread of its own, and the song's loop never waits for it. The one hand-off is the
// server's own port: each joined page is bridged to a datagram socket on the loopback that speaks
// to the server exactly as a PC that knows the room's clock does, so the server counts, serves and
// releases a page like any PC, and nothing of the song's loop is shared with the thread. The song's
// start, which a page shows its progress by, is passed by the thread's own queue.
#include <cstdint>

constexpr int DEFAULT_WEB_PORT = 27080;

// Serves the page on every interface at the port and tells on standard error where to open it
// (with a QR code of the first address when standard error is a terminal). When the port cannot be
// served it says why and the room plays on without it.
void startWebRoom(int port, int32_t songLengthMs);
// The song begins (or began) at this nanosecond of the server's monotonic clock; every page is told.
void announceSongStart(int64_t songOriginNanos);
// At the end of the run: every page is told the song is over, given a moment to hear it, and the
// thread ends. Does nothing when the room is not on the web.
void stopWebRoom();
