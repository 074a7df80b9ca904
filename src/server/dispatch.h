#pragma once
// Which client plays a note: a note that begins exactly where a client's last note ended goes to
// that client (the nearest previous key among several), so melodic lines stay on one speaker;
// otherwise the first client idle for at least 10 ms (or not given any note yet) gets it; with
// none free the note is dropped. A client that a live note holds takes no note of the song.
#include <cstdint>

constexpr int NOTE_DROPPED = -1;

// Gives the note to a client and sends it; position is the song position now, end is start +
// duration. The client is sent the duration less 20 ms, a pause that keeps repeated keys apart,
// the duration taken at the tempo (percent of the file's) the song plays at. Returns the client's
// id, or NOTE_DROPPED when no client was free and the note is dropped.
// Sent ahead, a note is given as if the song were at its start (position is then start) and so
// goes where it would have gone on time: a client that knows the room's clock gets it at once
// with the moment it sounds, and any other client gets it when the song reaches its start.
int dispatchNote(int32_t position, uint32_t key, int32_t duration, int32_t start, int32_t end, bool sentAhead = false,
                 int tempoPercent = 100);

// The client a note that continues no line takes at the position under the rule (a live note, which
// starts now), without giving it anything; NOTE_DROPPED when none is free.
int idleVoice(int32_t position);

// The song jumps from position to newPosition (a pause, a seek, a new song): notes held for older
// clients are forgotten (they will be given again), a client of the concert is idle (its tone was
// silenced), any other busy for what is left of what it was given, and no note continues a line
// across the jump. Clients that live notes hold stay as they are.
void restartDispatch(int32_t position, int32_t newPosition);

// Notes sent ahead but held for clients that play on arrival: the song position at which the
// first is due (false when none is held), and sending every one that is due at the position.
bool nextHeldNote(int32_t &start);
void sendHeldNotes(int32_t position);

// How many clients the loaded song needs so that the rule drops none of its notes: the rule run
// over the whole schedule with every slot registered, each note given at its own start. More than
// MAX_CLIENTS when even a full room drops some.
int clientsNeededForSong();
