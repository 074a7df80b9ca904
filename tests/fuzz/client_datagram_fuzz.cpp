// Arbitrary datagrams, one after another, handled as the client loop handles them: received into
// a cleared buffer of the client's size, then acted on by word 0. Beyond the sanitizers' checks:
// only an id changes the client's id and connected flag, and a note the speaker refuses (no length,
// a negative one, an inaudible key) returns at once instead of holding the client.
//
// Two kinds of datagram are not handed over: the server's good-bye ends the process by design, and
// a note the speaker would play sounds for up to half a minute. Nothing here touches a network.
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "net/client.h"
#include "net/protocol.h"
#include "platform/speaker.h"
#include "shell/run_state.h"

namespace {

constexpr double PROMPT_SECONDS = 2.0;  // generous: the machine may be busy

double monotonicSeconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

void check(bool holds) {
    if (!holds) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    runState.connected = 0;
    runState.ownId = 0;
    // Speaking the room's clock: a welcome, clock replies and timed notes are taken too.
    runState.protocolVersion = CLOCK_PROTOCOL_VERSION;
    size_t used = 0;
    // Each datagram: a length byte (0xFF: a datagram larger than the buffer), then its bytes.
    while (used < size) {
        size_t length = data[used++];
        if (length == 0xFF) length = SERVER_RECEIVE_BUFFER;
        if (length > size - used) length = size - used;
        uint8_t buffer[CLIENT_RECEIVE_BUFFER] = {};
        memcpy(buffer, data + used, length < sizeof buffer ? length : sizeof buffer);
        used += length;

        int16_t kind = readWord(buffer, 0);
        if (kind == MSG_BYE) continue;
        bool refusedNote =
            kind == MSG_NOTE && !isPlayableTone(keyToFrequency(readWord(buffer, 1)), readWord(buffer, 2));
        if (kind == MSG_NOTE && !refusedNote) continue;

        uint8_t connectedBefore = runState.connected;
        int16_t idBefore = runState.ownId;
        double started = monotonicSeconds();
        actOnServerDatagram(buffer);
        check(monotonicSeconds() - started < PROMPT_SECONDS);
        if (kind == MSG_ASSIGN_ID) {
            check(runState.connected == 1 && runState.ownId == readWord(buffer, 1));
        } else {
            check(runState.connected == connectedBefore && runState.ownId == idBefore);
        }
    }
    return 0;
}
