#include "net/dispatch.h"

#include <algorithm>
#include <cstdlib>

#include "net/client_table.h"
#include "net/socket.h"
#include "platform/clock.h"

namespace {

constexpr int64_t NO_CONTINUATION = 127;  // a distance this large never continues a line
constexpr int64_t IDLE_MS = 10;
constexpr int64_t TONE_GAP_MS = 20;

ClientSlot *continuationSlot(uint32_t key, int32_t start) {
    ClientSlot *chosen = nullptr;
    int64_t bestDistance = NO_CONTINUATION;
    for (ClientSlot &slot : clientTable.slots) {
        if (!slot.inUse || slot.noteEnd != start) continue;
        int64_t distance = std::llabs(static_cast<int64_t>(key) - static_cast<int64_t>(slot.key));
        if (distance < bestDistance) {
            chosen = &slot;
            bestDistance = distance;
        }
    }
    return chosen;
}

ClientSlot *firstIdleSlot(int32_t position) {
    for (ClientSlot &slot : clientTable.slots) {
        if (slot.inUse && slot.busyUntil + IDLE_MS <= position) return &slot;
    }
    return nullptr;
}

// Clamped rather than wrapped: a wrapped length of a very long note would be negative and silent.
int16_t toneLength(int32_t duration) {
    return static_cast<int16_t>(std::clamp<int64_t>(duration - TONE_GAP_MS, INT16_MIN, INT16_MAX));
}

}  // namespace

void dispatchNote(int32_t position, uint32_t key, int32_t duration, int32_t start, int32_t end) {
    ClientSlot *chosen = continuationSlot(key, start);
    if (chosen == nullptr) chosen = firstIdleSlot(position);
    if (chosen == nullptr) return;
    chosen->busyUntil = saturatingSum(position, duration);
    chosen->noteEnd = end;
    chosen->key = key;
    sendMessage(noteMessage(static_cast<int16_t>(key), toneLength(duration)), chosen->address);
}
