// Arbitrary datagrams, one after another, handled as the client loop handles them: received into
// a cleared buffer of the client's size, then acted on by word 0, and the clock talk then kept
// going (a clock request when one is due, the connect again when they go unanswered). Beyond the
// sanitizers' checks: only an id changes the client's id and connected flag; a note the speaker
// refuses (no length, a negative one, an inaudible key) returns at once instead of holding the
// client; the client sends only clock requests and its timed connect; a clock reply counts only
// when it echoes a request among the last 16 sent and not yet answered (anything else leaves the
// room's clock exactly as it was), and the estimate's drift is always a number within 500 ppm.
//
// The client's stamps are its own microseconds, which no input can guess: a clock reply echoing
// a number below LEARNED_STAMPS echoes instead that many stamps back of those the client sent
// (0: the newest), so that replies to requests, replayed replies and stale ones all come.
//
// Two kinds of datagram are not handed over: the server's good-bye ends the process by design, and
// a note the speaker would play sounds for up to half a minute. Nothing goes out on any network:
// sendto is replaced for the whole program, so the client's sends are recorded here.
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>

#include <plib/netSocket.h>

#include "client/client.h"
#include "fuzz_input.h"
#include "net/protocol.h"
#include "net/room_clock.h"
#include "platform/speaker.h"
#include "shell/run_state.h"

namespace {

constexpr double PROMPT_SECONDS = 2.0;  // generous: the machine may be busy
constexpr size_t LEARNED_STAMPS = 32;
constexpr size_t OUTSTANDING_REQUESTS = 16;

struct SentStamp {
    uint32_t stamp;
    bool answered;
};

int recordingHandle = -1;
std::deque<SentStamp> sentStamps;  // newest first
bool badSend = false;

}  // namespace

// Every send of the program ends here. The process socket's clock requests are learned; any send
// on another handle is refused, so this binary can never put a datagram on a network.
extern "C" ssize_t sendto(int handle, const void *buffer, size_t length, int, const sockaddr *to, socklen_t) {
    if (handle != recordingHandle || to == nullptr || to->sa_family != AF_INET) {
        errno = EPERM;
        return -1;
    }
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    const bool clockRequest = length == CLOCK_REQUEST_LENGTH && bytes[0] == MSG_CLOCK_REQUEST;
    const Message connect = timedConnectMessage(CLOCK_PROTOCOL_VERSION);
    if (clockRequest) {
        sentStamps.push_front({readStamp(bytes, CLIENT_STAMP_OFFSET), false});
        if (sentStamps.size() > LEARNED_STAMPS) sentStamps.pop_back();
    } else if (length != static_cast<size_t>(connect.length) || memcmp(bytes, connect.bytes, length) != 0) {
        badSend = true;
    }
    return static_cast<ssize_t>(length);
}

namespace {

double monotonicSeconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

bool sameEstimate(const RoomClockEstimate &a, const RoomClockEstimate &b) {
    return a.offsetNanos == b.offsetNanos && a.driftPpm == b.driftPpm &&
           a.shortestRoundTripNanos == b.shortestRoundTripNanos && a.exchanges == b.exchanges;
}

// Makes a clock reply echo a learned stamp where it names one; returns whether the reply
// answers a request the client still waits on, and marks it answered.
bool learnedReply(uint8_t *buffer) {
    const uint32_t echoed = readStamp(buffer, ECHOED_STAMP_OFFSET);
    if (echoed < sentStamps.size()) {
        const uint32_t stamp = sentStamps[echoed].stamp;
        memcpy(buffer + ECHOED_STAMP_OFFSET, &stamp, sizeof stamp);  // little-endian, as on the wire
    }
    const uint32_t answered = readStamp(buffer, ECHOED_STAMP_OFFSET);
    for (size_t i = 0; i < sentStamps.size() && i < OUTSTANDING_REQUESTS; i++) {
        if (sentStamps[i].stamp == answered && !sentStamps[i].answered) {
            sentStamps[i].answered = true;
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // A real socket, so the socket library's checks pass; it is never bound and sends nothing.
    runState.socket = new netSocket();
    if (!runState.socket->open(false)) __builtin_trap();
    recordingHandle = runState.socket->getHandle();
    // The server it heard from, so its requests have an address to go to (and be recorded).
    runState.serverAddress.set("198.18.1.10", SERVER_PORT);
    return 0;
}

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
        const bool answers = kind == MSG_CLOCK_REPLY && learnedReply(buffer);

        uint8_t connectedBefore = runState.connected;
        int16_t idBefore = runState.ownId;
        const RoomClockEstimate clockBefore = roomClockEstimate();
        double started = monotonicSeconds();
        actOnServerDatagram(buffer);
        check(monotonicSeconds() - started < PROMPT_SECONDS);
        if (kind == MSG_ASSIGN_ID) {
            check(runState.connected == 1 && runState.ownId == readWord(buffer, 1));
        } else {
            check(runState.connected == connectedBefore && runState.ownId == idBefore);
        }
        const RoomClockEstimate clockAfter = roomClockEstimate();
        if (!answers) check(sameEstimate(clockBefore, clockAfter));
        check(std::isfinite(clockAfter.driftPpm) && std::fabs(clockAfter.driftPpm) <= 500 + 1e-6);
        keepClockTalkGoing();
        check(!badSend);
    }
    return 0;
}
