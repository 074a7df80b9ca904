#include "server/dispatch.h"

#include <algorithm>
#include <cstdlib>
#include <deque>

#include "net/protocol.h"
#include "net/socket.h"
#include "platform/clock.h"
#include "schedule/note_schedule.h"
#include "server/client_table.h"
#include "server/song_run.h"

namespace {

constexpr int64_t NO_CONTINUATION = 127;  // a distance this large never continues a line
constexpr int64_t IDLE_MS = 10;
constexpr int64_t TONE_GAP_MS = 20;

constexpr int NO_SLOT = NOTE_DROPPED;

struct HeldNote {
    int32_t start;
    Message message;
    int slot;
    netAddress address;
};
// In the order the notes were given, which is the order of their starts.
std::deque<HeldNote> heldNotes;

int continuationSlot(const ClientTable &table, uint32_t key, int32_t start) {
    int chosen = NO_SLOT;
    int64_t bestDistance = NO_CONTINUATION;
    for (int id = 0; id < MAX_CLIENTS; id++) {
        const ClientSlot &slot = table.slots[id];
        if (!slot.inUse || slot.heldLive || slot.noteEnd != start) continue;
        int64_t distance = std::llabs(static_cast<int64_t>(key) - static_cast<int64_t>(slot.key));
        if (distance < bestDistance) {
            chosen = id;
            bestDistance = distance;
        }
    }
    return chosen;
}

// A client that has not been given a note yet is idle from the moment it registers: its busy
// until of 0 would otherwise hold back every note of the song's first 10 ms.
int firstIdleSlot(const ClientTable &table, int32_t position) {
    for (int id = 0; id < MAX_CLIENTS; id++) {
        const ClientSlot &slot = table.slots[id];
        if (slot.inUse && !slot.heldLive && (!slot.givenNote || slot.busyUntil + IDLE_MS <= position)) return id;
    }
    return NO_SLOT;
}

// The slot that plays the note under the rule, with the note recorded in it; NO_SLOT: dropped.
int giveNote(ClientTable &table, int32_t position, uint32_t key, int32_t duration, int32_t start, int32_t end) {
    int chosen = continuationSlot(table, key, start);
    if (chosen == NO_SLOT) chosen = firstIdleSlot(table, position);
    if (chosen == NO_SLOT) return NO_SLOT;
    ClientSlot &slot = table.slots[chosen];
    slot.busyUntil = saturatingSum(position, duration);
    slot.noteEnd = end;
    slot.key = key;
    slot.givenNote = 1;
    return chosen;
}

// Clamped rather than wrapped: a wrapped length of a very long note would be negative and silent.
int16_t toneLength(int32_t duration) {
    return static_cast<int16_t>(std::clamp<int64_t>(duration - TONE_GAP_MS, INT16_MIN, INT16_MAX));
}

}  // namespace

int dispatchNote(int32_t position, uint32_t key, int32_t duration, int32_t start, int32_t end, bool sentAhead,
                 int tempoPercent) {
    const int chosen = giveNote(clientTable, position, key, duration, start, end);
    if (chosen == NO_SLOT) return NO_SLOT;
    const ClientSlot &slot = clientTable.slots[chosen];
    const auto sentKey = static_cast<int16_t>(key);
    // A tone lasts its note's length at the tempo it is played at.
    const int64_t atTempo = static_cast<int64_t>(duration) * 100 / tempoPercent;
    const auto sounding = static_cast<int32_t>(std::clamp<int64_t>(atTempo, INT32_MIN, INT32_MAX));
    if (slot.timed) {
        sendMessage(timedNoteMessage(sentKey, toneLength(sounding), serverMicrosAtSongPosition(start)), slot.address);
    } else if (sentAhead) {
        heldNotes.push_back({start, noteMessage(sentKey, toneLength(sounding)), chosen, slot.address});
    } else {
        sendMessage(noteMessage(sentKey, toneLength(sounding)), slot.address);
    }
    return chosen;
}

int idleVoice(int32_t position) {
    return firstIdleSlot(clientTable, position);
}

void restartDispatch(int32_t position, int32_t newPosition) {
    heldNotes.clear();
    for (ClientSlot &slot : clientTable.slots) {
        if (slot.heldLive) continue;
        // A client of the concert was silenced; any other plays on what it was given.
        int64_t left = 0;
        if (!slot.timed || slot.clockVersion < CONCERT_PROTOCOL_VERSION) {
            left = std::max<int64_t>(static_cast<int64_t>(slot.busyUntil) - position, 0);
        }
        slot.busyUntil = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(newPosition) + left, INT32_MAX));
        if (left == 0) slot.givenNote = 0;
        slot.noteEnd = INT32_MIN;  // no note continues a line across the jump
    }
}

bool nextHeldNote(int32_t &start) {
    if (heldNotes.empty()) return false;
    const HeldNote &first = heldNotes.front();
    start = first.start;
    return true;
}

void sendHeldNotes(int32_t position) {
    while (!heldNotes.empty()) {
        const HeldNote &held = heldNotes.front();
        if (held.start > position) return;
        // Only to a client that is still there: one that left while its note was held gets nothing.
        const ClientSlot &slot = clientTable.slots[held.slot];
        if (slot.inUse && sameEndpoint(slot.address, held.address)) sendMessage(held.message, held.address);
        heldNotes.pop_front();
    }
}

int clientsNeededForSong() {
    ClientTable fullRoom = {};
    for (ClientSlot &slot : fullRoom.slots) slot.inUse = 1;
    int needed = 0;
    for (const NoteRecord *note = noteSchedule.head; note != nullptr; note = note->next) {
        if (!isAudible(*note)) continue;
        const int chosen = giveNote(fullRoom, note->start, note->key, note->duration, note->start,
                                    saturatingSum(note->start, note->duration));
        if (chosen == NO_SLOT) return MAX_CLIENTS + 1;
        needed = std::max(needed, chosen + 1);
    }
    return needed;
}
