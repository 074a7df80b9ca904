#pragma once
// The keys live players hold, each on a voice of its own. A live note's length is not known when it
// starts, so it is given in slices that end on their own: a client that keeps the room's clock gets
// timed slices a live lead ahead, each beginning where the one before ends and sent once that end is
// less than the lead and 100 ms away; an older client gets a slice on arrival, the next when it ends.
// Slicing stops when the key is let go (a client of the live version is told when its tone stops),
// when the player is gone and when the client leaves, so that no tone is left sounding on.
// Times are the monotonic clock's, in nanoseconds.
#include <cstdint>

// A key pressed by a player: the client that the song's rule finds idle at the position takes it at
// once and gets its first slice. The same key held already by the player is let go first. With no
// idle client, or the player holding 16 keys already, the note is dropped. Either way it is counted.
void startLiveNote(uint32_t source, int key, int32_t position, int64_t nowNanos);
// The key let go: no slice follows. A client of the live version is told its tone stops a live lead
// from now and is free at once; any other is free once its last slice has ended.
void endLiveNote(uint32_t source, int key, int64_t nowNanos);
// Every key the player holds is let go.
void endLiveSource(uint32_t source, int64_t nowNanos);
// Sends the slices that are due, frees the clients whose last slice has ended and forgets the notes
// of clients that left.
void tendLiveVoices(int64_t nowNanos);
// The live lead told to clients of the live version in their welcome, so that they keep their sound
// stream ready for a note that comes that little ahead: at least 1 ms in a room that only plays live,
// 0 beside a song, whose clients keep their stream as a song needs it (live notes then come a lead
// ahead of that, and a note's end within a slice).
int16_t liveLeadToldToClients();
// Nanoseconds until tendLiveVoices has something to do (0: now); -1 when no live note is in play.
int64_t nanosUntilLiveVoicesDue(int64_t nowNanos);
