#include "server/live_voices.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "net/protocol.h"
#include "net/room_clock.h"
#include "net/socket.h"
#include "platform/clock.h"
#include "server/client_table.h"
#include "server/dispatch.h"
#include "server/server_status.h"
#include "shell/run_state.h"

namespace {

constexpr int KEYS_PER_SOURCE = 16;
constexpr int64_t SLICE_NANOS = LIVE_SLICE_MS * NANOS_PER_MILLI;
// Beyond the lead, the time a timed slice leaves before the one it follows ends: room for a late
// datagram and a late pass of the loop.
constexpr int64_t SLICE_MARGIN_NANOS = 100 * NANOS_PER_MILLI;

struct LiveVoice {
    uint32_t source;
    int key;
    int client;
    netAddress address;     // the client's when the note began: another in its slot gets nothing
    int64_t sliceEndNanos;  // where the last slice given ends
    bool held;              // false once let go, while the last slice rings out
};
// Each holds a client of its own, so there are never more than MAX_CLIENTS.
std::vector<LiveVoice> voices;

int64_t leadNanos() {
    return static_cast<int64_t>(runState.liveLeadMs) * NANOS_PER_MILLI;
}

bool stillThere(const LiveVoice &voice) {
    const ClientSlot &slot = clientTable.slots[voice.client];
    return slot.inUse && slot.heldLive && sameEndpoint(slot.address, voice.address);
}

void sendSlice(LiveVoice &voice, int64_t nowNanos) {
    const ClientSlot &slot = clientTable.slots[voice.client];
    const auto key = static_cast<int16_t>(voice.key);
    if (slot.timed) {
        // A loop held up past the last slice's end leaves a gap rather than a slice in the past.
        if (voice.sliceEndNanos < nowNanos) voice.sliceEndNanos = nowNanos + leadNanos();
        const uint32_t moment = serverMicros(voice.sliceEndNanos);
        sendMessage(slot.clockVersion >= LIVE_PROTOCOL_VERSION ? liveSliceMessage(key, moment)
                                                               : timedNoteMessage(key, LIVE_SLICE_MS, moment),
                    slot.address);
        voice.sliceEndNanos += SLICE_NANOS;
    } else {
        sendMessage(noteMessage(key, LIVE_SLICE_MS), slot.address);
        voice.sliceEndNanos = nowNanos + SLICE_NANOS;
    }
}

// When the voice next needs the loop: its next slice, or its freeing once let go.
int64_t dueAt(const LiveVoice &voice) {
    if (!voice.held || !clientTable.slots[voice.client].timed) return voice.sliceEndNanos;
    return voice.sliceEndNanos - leadNanos() - SLICE_MARGIN_NANOS;
}

// The client is idle from now for the song's rule, and continues no line.
void freeClient(const LiveVoice &voice) {
    ClientSlot &slot = clientTable.slots[voice.client];
    slot.heldLive = 0;
    slot.givenNote = 0;
    slot.noteEnd = INT32_MIN;
}

void letGo(LiveVoice &voice, int64_t nowNanos) {
    voice.held = false;
    const ClientSlot &slot = clientTable.slots[voice.client];
    if (slot.clockVersion < LIVE_PROTOCOL_VERSION) return;
    sendMessage(noteOffMessage(static_cast<int16_t>(voice.key), serverMicros(nowNanos + leadNanos())), slot.address);
    voice.sliceEndNanos = nowNanos;
}

// Lets go of the voices the test picks, and frees at once those that ring out no longer.
template <typename Picked>
void letGoOf(Picked picked, int64_t nowNanos) {
    for (LiveVoice &voice : voices) {
        if (voice.held && picked(voice) && stillThere(voice)) letGo(voice, nowNanos);
    }
    tendLiveVoices(nowNanos);
}

}  // namespace

void startLiveNote(uint32_t source, int key, int32_t position, int64_t nowNanos) {
    endLiveNote(source, key, nowNanos);
    const auto keysHeld = std::count_if(voices.begin(), voices.end(),
                                        [source](const LiveVoice &v) { return v.held && v.source == source; });
    const int client = keysHeld < KEYS_PER_SOURCE ? idleVoice(position) : NOTE_DROPPED;
    countNote(client != NOTE_DROPPED);
    if (client == NOTE_DROPPED) return;
    ClientSlot &slot = clientTable.slots[client];
    slot.heldLive = 1;
    voices.push_back({source, key, client, slot.address, nowNanos + leadNanos(), true});
    sendSlice(voices.back(), nowNanos);
}

void endLiveNote(uint32_t source, int key, int64_t nowNanos) {
    letGoOf([source, key](const LiveVoice &voice) { return voice.source == source && voice.key == key; }, nowNanos);
}

void endLiveSource(uint32_t source, int64_t nowNanos) {
    letGoOf([source](const LiveVoice &voice) { return voice.source == source; }, nowNanos);
}

void tendLiveVoices(int64_t nowNanos) {
    for (size_t i = 0; i < voices.size();) {
        LiveVoice &voice = voices[i];
        const bool there = stillThere(voice);
        if (there && voice.held && nowNanos >= dueAt(voice)) sendSlice(voice, nowNanos);
        if (there && (voice.held || nowNanos < voice.sliceEndNanos)) {
            i++;
            continue;
        }
        if (there) freeClient(voice);
        voices.erase(voices.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

int64_t nanosUntilLiveVoicesDue(int64_t nowNanos) {
    int64_t due = -1;
    for (const LiveVoice &voice : voices) {
        const int64_t wait = std::max<int64_t>(dueAt(voice) - nowNanos, 0);
        due = due < 0 ? wait : std::min(due, wait);
    }
    return due;
}

int16_t liveLeadToldToClients() {
    return runState.liveMode != 0 ? static_cast<int16_t>(std::max<int32_t>(runState.liveLeadMs, 1)) : int16_t{0};
}
