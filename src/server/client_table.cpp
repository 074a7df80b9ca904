#include "server/client_table.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "net/clock_allowance.h"
#include "net/protocol.h"
#include "net/room_clock.h"
#include "net/socket.h"
#include "platform/clock.h"
#include "server/live_voices.h"
#include "server/server.h"
#include "server/server_status.h"

ClientTable clientTable = {};

namespace {

// A timed client asks 4 times a second, so 10 s of silence is 40 requests lost in a row.
constexpr int64_t SILENCE_LIMIT_NANOS = 10 * NANOS_PER_SECOND;
constexpr int64_t WELCOME_REPEAT_NANOS = NANOS_PER_SECOND;

// netAddress leaves its fields unset when constructed, so a free slot is zeroed byte by byte.
void freeSlot(ClientSlot &slot) {
    memset(static_cast<void *>(&slot), 0, sizeof slot);
}

void dropClient(int id) {
    clearStatusLine();
    printf("Client %d disconnected.\n", id);
    fflush(stdout);
    freeSlot(clientTable.slots[id]);
}

// The slot the sender holds already, else the lowest free one; -1 when there is neither.
int slotFor(const netAddress &sender) {
    int lowestFree = -1;
    for (int id = 0; id < MAX_CLIENTS; id++) {
        const ClientSlot &slot = clientTable.slots[id];
        if (slot.inUse && sameEndpoint(slot.address, sender)) return id;
        if (!slot.inUse && lowestFree < 0) lowestFree = id;
    }
    return lowestFree;
}

int64_t letGoAt(const ClientSlot &slot) {
    return slot.heardNanos + SILENCE_LIMIT_NANOS;
}

int64_t welcomeAgainAt(const ClientSlot &slot) {
    return slot.welcomedNanos + WELCOME_REPEAT_NANOS;
}

}  // namespace

void clearClientTable() {
    for (ClientSlot &slot : clientTable.slots) freeSlot(slot);
}

void registerClient(const netAddress &sender, uint8_t clockVersion, int64_t nowNanos) {
    int id = slotFor(sender);
    if (id < 0) return;
    ClientSlot &slot = clientTable.slots[id];
    if (!slot.inUse) {
        slot.address.set(sender.getHost(), static_cast<int>(sender.getPort()));
        slot.inUse = 1;
        if (clockVersion >= CLOCK_PROTOCOL_VERSION) {
            slot.timed = 1;
            slot.clockVersion = clockVersion;
            slot.heardNanos = nowNanos;
            slot.welcomedNanos = nowNanos;
        }
    }
    sendMessage(assignIdMessage(static_cast<int16_t>(id)), slot.address);
    if (slot.timed) sendMessage(welcomeMessage(slot.clockVersion, liveLeadToldToClients()), slot.address);
}

bool anyTimedClient() {
    for (const ClientSlot &slot : clientTable.slots) {
        if (slot.inUse && slot.timed) return true;
    }
    return false;
}

void answerClockRequest(const uint8_t *request, const netAddress &sender, int64_t nowNanos) {
    for (ClientSlot &slot : clientTable.slots) {
        if (slot.inUse && slot.timed && sameEndpoint(slot.address, sender)) {
            slot.heardNanos = nowNanos;
            slot.askedTime = 1;
            if (!takeClockAllowance(slot.clockAllowance, nowNanos)) return;
            sendMessage(clockReplyMessage(readStamp(request, CLIENT_STAMP_OFFSET), serverMicros(nowNanos)), sender);
            return;
        }
    }
}

void releaseClient(int id, const netAddress &sender) {
    if (id < 0 || id >= MAX_CLIENTS) return;
    const ClientSlot &slot = clientTable.slots[id];
    if (!slot.inUse || !sameEndpoint(slot.address, sender)) return;
    dropClient(id);
}

void tendTimedClients(int64_t nowNanos) {
    for (int id = 0; id < MAX_CLIENTS; id++) {
        ClientSlot &slot = clientTable.slots[id];
        if (!slot.inUse || !slot.timed) continue;
        if (nowNanos >= letGoAt(slot)) {
            dropClient(id);
        } else if (!slot.askedTime && nowNanos >= welcomeAgainAt(slot)) {
            sendMessage(welcomeMessage(slot.clockVersion, liveLeadToldToClients()), slot.address);
            slot.welcomedNanos = nowNanos;
        }
    }
}

int64_t nanosUntilTimedClientsDue(int64_t nowNanos) {
    int64_t due = -1;
    for (const ClientSlot &slot : clientTable.slots) {
        if (!slot.inUse || !slot.timed) continue;
        int64_t next = letGoAt(slot);
        if (!slot.askedTime) next = std::min(next, welcomeAgainAt(slot));
        const int64_t wait = std::max<int64_t>(next - nowNanos, 0);
        due = due < 0 ? wait : std::min(due, wait);
    }
    return due;
}

void takeClientReport(const uint8_t *report, const netAddress &sender) {
    for (ClientSlot &slot : clientTable.slots) {
        if (!slot.inUse || slot.clockVersion < CONCERT_PROTOCOL_VERSION || !sameEndpoint(slot.address, sender))
            continue;
        slot.reported = 1;
        slot.roundTripMicros = readStamp(report, REPORT_ROUND_TRIP_OFFSET);
        slot.lateNotes = readWord(report, REPORT_LATE_OFFSET / 2);
        slot.missedNotes = readWord(report, REPORT_MISSED_OFFSET / 2);
        return;
    }
}

namespace {
void tellConcertClients(const Message &message, bool evenHeldLive) {
    for (const ClientSlot &slot : clientTable.slots) {
        if (slot.inUse && slot.clockVersion >= CONCERT_PROTOCOL_VERSION && (evenHeldLive || !slot.heldLive)) {
            sendMessage(message, slot.address);
        }
    }
}
}  // namespace

void silenceConcertClients() {
    tellConcertClients(silenceMessage(), false);
}

void tellSongEnd(int songsToCome) {
    tellConcertClients(songEndMessage(static_cast<int16_t>(std::min(songsToCome, static_cast<int>(INT16_MAX)))), true);
}

bool keepsNotesGivenAhead(int id) {
    const ClientSlot &slot = clientTable.slots[id];
    return slot.inUse && slot.timed && slot.clockVersion < CONCERT_PROTOCOL_VERSION;
}
