#include "net/client_table.h"

#include <cstdio>
#include <cstring>

#include "net/protocol.h"
#include "net/server_status.h"
#include "net/socket.h"

ClientTable clientTable = {};

namespace {

// netAddress leaves its fields unset when constructed, so a free slot is zeroed byte by byte.
void freeSlot(ClientSlot &slot) {
    memset(static_cast<void *>(&slot), 0, sizeof slot);
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

}  // namespace

void clearClientTable() {
    for (ClientSlot &slot : clientTable.slots) freeSlot(slot);
}

void registerClient(const netAddress &sender, bool timed) {
    int id = slotFor(sender);
    if (id < 0) return;
    ClientSlot &slot = clientTable.slots[id];
    if (!slot.inUse) {
        slot.address.set(sender.getHost(), static_cast<int>(sender.getPort()));
        slot.inUse = 1;
        slot.timed = timed ? 1 : 0;
    }
    sendMessage(assignIdMessage(static_cast<int16_t>(id)), slot.address);
    if (slot.timed) sendMessage(welcomeMessage(), slot.address);
}

bool anyTimedClient() {
    for (const ClientSlot &slot : clientTable.slots) {
        if (slot.inUse && slot.timed) return true;
    }
    return false;
}

void answerClockRequest(const uint8_t *request, const netAddress &sender, uint32_t serverMicros) {
    for (const ClientSlot &slot : clientTable.slots) {
        if (slot.inUse && slot.timed && sameEndpoint(slot.address, sender)) {
            sendMessage(clockReplyMessage(readStamp(request, CLIENT_STAMP_OFFSET), serverMicros), sender);
            return;
        }
    }
}

void releaseClient(int id, const netAddress &sender) {
    if (id < 0 || id >= MAX_CLIENTS) return;
    ClientSlot &slot = clientTable.slots[id];
    if (!slot.inUse || !sameEndpoint(slot.address, sender)) return;
    clearStatusLine();
    printf("Client %d disconnected.\n", id);
    fflush(stdout);
    freeSlot(slot);
}
