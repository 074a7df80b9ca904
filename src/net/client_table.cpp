#include "net/client_table.h"

#include <cstdio>
#include <cstring>

#include "net/socket.h"

ClientTable clientTable = {};

namespace {

// netAddress leaves its fields unset when constructed, so a free slot is zeroed byte by byte.
void freeSlot(ClientSlot &slot) {
    memset(static_cast<void *>(&slot), 0, sizeof slot);
}

bool sameAddress(const netAddress &a, const netAddress &b) {
    return a.getFamily() == b.getFamily() && a.getIP() == b.getIP() && a.getPort() == b.getPort();
}

}  // namespace

void clearClientTable() {
    for (ClientSlot &slot : clientTable.slots) freeSlot(slot);
}

void registerClient(const netAddress &sender) {
    for (int id = 0; id < MAX_CLIENTS; id++) {
        ClientSlot &slot = clientTable.slots[id];
        if (slot.inUse) continue;
        slot.address.set(sender.getHost(), static_cast<int>(sender.getPort()));
        slot.inUse = 1;
        sendMessage(assignIdMessage(static_cast<int16_t>(id)), slot.address);
        return;
    }
}

void releaseClient(int id, const netAddress &sender) {
    if (id < 0 || id >= MAX_CLIENTS) return;
    ClientSlot &slot = clientTable.slots[id];
    if (!slot.inUse || !sameAddress(slot.address, sender)) return;
    printf("Client %d disconnected.\n", id);
    fflush(stdout);
    freeSlot(slot);
}
