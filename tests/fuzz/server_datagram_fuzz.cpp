// Arbitrary datagrams from arbitrary senders, handled as the server loop handles them, with notes
// dispatched and time passing in between: registers, releases, activates, dispatches, bursts of one
// datagram and the loop's tending of timed clients in any order, on a clock the input moves. Beyond
// the sanitizers' checks, a model of the 32 slots (who holds which, and for a client that keeps the
// room's clock when it was last heard and welcomed and what is left of its allowance of clock
// requests) must match the table after every step, a free slot stays all zero, the server's next
// wake-up for its timed clients is the model's, and every send is the one reply the step calls for:
// an id to the sender that took or holds a slot (and the welcome to one that keeps the room's
// clock), the time to such a client's clock request while its allowance lasts, the welcome again to
// a timed client that has not asked for a second, or one note to a slot in use, never to a freed one.
//
// Nothing goes out on any network: sendto is replaced for the whole program, so the server's sends
// are recorded here and no datagram leaves the process, whatever address a sender names.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <plib/netSocket.h>

#include "fuzz_input.h"
#include "net/protocol.h"
#include "platform/clock.h"
#include "server/client_table.h"
#include "server/dispatch.h"
#include "server/server.h"
#include "server/song_run.h"
#include "shell/run_state.h"

namespace {

struct Sent {
    uint32_t ip;  // network byte order, as netAddress keeps it
    uint16_t port;
    std::vector<uint8_t> bytes;
};

int recordingHandle = -1;
std::vector<Sent> sent;

}  // namespace

// Every send of the program ends here. The process socket's sends are recorded; any other is
// refused, so this binary can never put a datagram on a network.
extern "C" ssize_t sendto(int handle, const void *buffer, size_t length, int, const sockaddr *to, socklen_t) {
    if (handle != recordingHandle || to == nullptr || to->sa_family != AF_INET) {
        errno = EPERM;
        return -1;
    }
    const sockaddr_in *address = reinterpret_cast<const sockaddr_in *>(to);
    const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
    sent.push_back({address->sin_addr.s_addr, ntohs(address->sin_port), std::vector<uint8_t>(bytes, bytes + length)});
    return static_cast<ssize_t>(length);
}

namespace {

// Senders: odd hosts included (any, broadcast), ports 0 to 65535, so that equal and unequal
// addresses meet often enough for releases to match and to be refused.
const char *const HOSTS[] = {"0.0.0.0", "127.0.0.1", "198.18.1.10", "255.255.255.255"};
const int PORTS[] = {0, 1, 5, 1024, 27000, 33333, 40000, 65535};
constexpr int SENDERS = 32;   // op bits 0-1 pick the host, bits 2-4 the port
netAddress senders[SENDERS];  // made once: resolving a host text is slow

// The rules for clients that keep the room's clock: let go after 10 s without a clock request,
// welcomed again each second until the first, and a bucket of 80 requests refilled at 8 a second.
constexpr int64_t SILENCE_LIMIT = 10 * NANOS_PER_SECOND;
constexpr int64_t WELCOME_REPEAT = NANOS_PER_SECOND;
constexpr int64_t REFILL = NANOS_PER_SECOND / 8;
constexpr int64_t FULL_BUCKET = 80 * REFILL;  // what a bucket holds, counted in refill time

struct ModelSlot {
    bool inUse;
    uint32_t ip;
    uint16_t port;
    bool timed;       // took its slot with the room clock's mark
    uint8_t version;  // the protocol version its connect announced
    int64_t heard;
    int64_t welcomed;
    bool asked;
    int64_t bucket;  // refill time held: a request takes REFILL of it
    int64_t bucketAt;
};

ModelSlot model[MAX_CLIENTS];
uint8_t receiveBuffer[SERVER_RECEIVE_BUFFER];  // like the server's, never cleared between datagrams
int32_t position;
int64_t now;  // the monotonic clock as the server is told it

bool allZero(const ClientSlot &slot) {
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&slot);
    for (size_t i = 0; i < sizeof slot; i++) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

bool holds(const ModelSlot &slot, uint32_t ip, uint16_t port) {
    return slot.inUse && slot.ip == ip && slot.port == port;
}

// When the server should next wake for its timed clients, by the model.
int64_t modelWakeUp() {
    int64_t due = -1;
    for (const ModelSlot &slot : model) {
        if (!slot.inUse || !slot.timed) continue;
        int64_t next = slot.heard + SILENCE_LIMIT;
        if (!slot.asked && slot.welcomed + WELCOME_REPEAT < next) next = slot.welcomed + WELCOME_REPEAT;
        const int64_t wait = next > now ? next - now : 0;
        if (due < 0 || wait < due) due = wait;
    }
    return due;
}

void checkTableMatchesModel() {
    check(nanosUntilTimedClientsDue(now) == modelWakeUp());
    for (int id = 0; id < MAX_CLIENTS; id++) {
        const ClientSlot &slot = clientTable.slots[id];
        if (!model[id].inUse) {
            check(allZero(slot));
            continue;
        }
        check(slot.inUse != 0);
        check(slot.address.getFamily() == AF_INET);
        check(holds(model[id], slot.address.getIP(), static_cast<uint16_t>(slot.address.getPort())));
        check((slot.timed != 0) == model[id].timed);
    }
}

int16_t word(const std::vector<uint8_t> &bytes, int n) {
    return static_cast<int16_t>(bytes[2 * n] | (bytes[2 * n + 1] << 8));
}

// The welcome names the version both sides speak: the client's own, or the server's newest if the
// client announced a later one.
bool isWelcome(const Sent &datagram, const ModelSlot &slot) {
    const int16_t spoken = slot.version < LIVE_PROTOCOL_VERSION ? slot.version : LIVE_PROTOCOL_VERSION;
    return datagram.bytes.size() == REPLY_LENGTH && word(datagram.bytes, 0) == MSG_WELCOME &&
           word(datagram.bytes, 1) == spoken && word(datagram.bytes, 2) == 0;
}

// Whether the client's clock request is answered: its bucket refilled since it last asked, less
// one request if it holds one.
bool takeFromBucket(ModelSlot &slot) {
    slot.bucket += now - slot.bucketAt;
    if (slot.bucket > FULL_BUCKET) slot.bucket = FULL_BUCKET;
    slot.bucketAt = now;
    if (slot.bucket < REFILL) return false;
    slot.bucket -= REFILL;
    return true;
}

// The datagram in the receive buffer, handled once. The model follows the documented rules of
// each kind.
void deliver(const netAddress &sender, int length) {
    uint32_t ip = sender.getIP();
    uint16_t port = static_cast<uint16_t>(sender.getPort());
    int registeredAs = -1;
    int askedTheTime = -1;
    int playbackAfter = runState.playbackActive;
    // What the server reads: the first bytes, those that did not arrive as zero.
    uint8_t fields[LONGEST_MESSAGE] = {};
    memcpy(fields, receiveBuffer, static_cast<size_t>(length < LONGEST_MESSAGE ? length : LONGEST_MESSAGE));
    if (length >= 1) {
        uint8_t first = receiveBuffer[0];
        uint8_t second = length >= 2 ? receiveBuffer[1] : 0;
        uint8_t mark = length >= 3 ? receiveBuffer[2] : 0;
        int16_t id = static_cast<int16_t>(first | (second << 8));
        if (first == MSG_CONNECT) {
            // The sender's own slot if it holds one, else the lowest free one.
            for (int i = 0; i < MAX_CLIENTS && registeredAs < 0; i++) {
                if (holds(model[i], ip, port)) registeredAs = i;
            }
            for (int i = 0; i < MAX_CLIENTS && registeredAs < 0; i++) {
                if (!model[i].inUse) registeredAs = i;
            }
            if (registeredAs >= 0 && !model[registeredAs].inUse) {
                model[registeredAs] = {
                    true,  ip,          port, carriesClockMark(fields), clockVersionOf(fields), now, now,
                    false, FULL_BUCKET, now};
            }
        } else if (first == MSG_ACTIVATE) {
            playbackAfter = 1;
        } else if (first == MSG_CLOCK_REQUEST && carriesClockMark(fields)) {
            for (int i = 0; i < MAX_CLIENTS; i++) {
                if (!holds(model[i], ip, port) || !model[i].timed) continue;
                model[i].heard = now;
                model[i].asked = true;
                if (takeFromBucket(model[i])) askedTheTime = i;
            }
        } else if (mark == MSG_BYE && id >= 0 && id < MAX_CLIENTS && holds(model[id], ip, port)) {
            model[id] = {};
        }
    }
    sent.clear();
    handleServerDatagram(receiveBuffer, length, sender, now);
    checkTableMatchesModel();
    check(runState.playbackActive == playbackAfter);
    if (askedTheTime >= 0) {
        check(sent.size() == 1 && sent[0].ip == ip && sent[0].port == port);
        check(sent[0].bytes.size() == CLOCK_REPLY_LENGTH && word(sent[0].bytes, 0) == MSG_CLOCK_REPLY &&
              readStamp(sent[0].bytes.data(), ECHOED_STAMP_OFFSET) == readStamp(fields, CLIENT_STAMP_OFFSET));
        return;
    }
    if (registeredAs < 0) {
        check(sent.empty());
        return;
    }
    const size_t replies = model[registeredAs].timed ? 2 : 1;
    check(sent.size() == replies && sent[0].ip == ip && sent[0].port == port);
    check(sent[0].bytes.size() == REPLY_LENGTH && word(sent[0].bytes, 0) == MSG_ASSIGN_ID &&
          word(sent[0].bytes, 1) == registeredAs && word(sent[0].bytes, 2) == 0);
    if (replies == 2) check(isWelcome(sent[1], model[registeredAs]));
}

// One datagram: the sender, how many bytes arrived, and the bytes (what the input lacks is whatever
// the buffer held before), handled the given number of times in one moment, as a flood comes. Two
// length codes stand for a timed connect (of the clock's first version, the concert's, or a later
// one) and a clock request, which the fuzzer would seldom spell.
void receiveDatagram(Input &input, uint8_t op, int times) {
    const netAddress &sender = senders[op % SENDERS];
    const uint8_t lengthCode = input.byte();
    int length = 0;
    if (lengthCode == 0xEE || lengthCode == 0xEF) {
        const Message message =
            lengthCode == 0xEE ? timedConnectMessage(static_cast<uint8_t>(CLOCK_PROTOCOL_VERSION + input.byte() % 3))
                               : clockRequestMessage(static_cast<uint32_t>(input.int32()), CLOCK_PROTOCOL_VERSION);
        memcpy(receiveBuffer, message.bytes, static_cast<size_t>(message.length));
        length = message.length;
    } else {
        length = lengthCode < 0xF0 ? lengthCode : (lengthCode - 0xEF) * 100;
        if (length > SERVER_RECEIVE_BUFFER) length = SERVER_RECEIVE_BUFFER;
        input.take(receiveBuffer, static_cast<size_t>(length));
    }
    for (int i = 0; i < times; i++) deliver(sender, length);
}

// Time passes (0 to 10.4 s, finely near 0) and the loop tends its timed clients: each silent for
// 10 s is let go, each yet to ask is welcomed again once a second has passed, in the order of ids.
void passTime(Input &input) {
    const int64_t step = input.byte();
    now += step * step * 160000;
    std::vector<int> welcomed;
    for (int id = 0; id < MAX_CLIENTS; id++) {
        ModelSlot &slot = model[id];
        if (!slot.inUse || !slot.timed) continue;
        if (now - slot.heard >= SILENCE_LIMIT) {
            slot = {};
        } else if (!slot.asked && now - slot.welcomed >= WELCOME_REPEAT) {
            slot.welcomed = now;
            welcomed.push_back(id);
        }
    }
    sent.clear();
    tendTimedClients(now);
    checkTableMatchesModel();
    check(sent.size() == welcomed.size());
    for (size_t i = 0; i < sent.size(); i++) {
        check(holds(model[welcomed[i]], sent[i].ip, sent[i].port) && isWelcome(sent[i], model[welcomed[i]]));
    }
}

// One note taken off the schedule: the song moves on, the note may start a little before now.
void dispatch(Input &input) {
    uint32_t key = input.byte();
    key |= static_cast<uint32_t>(input.byte()) << 8;
    int32_t duration = input.int32();
    int32_t start = position - input.byte();
    position = saturatingSum(position, input.byte());
    int32_t end = saturatingSum(start, duration);

    ClientTable before = clientTable;
    sent.clear();
    dispatchNote(position, key, duration, start, end);
    checkTableMatchesModel();
    check(sent.size() <= 1);
    int changed = -1;
    for (int id = 0; id < MAX_CLIENTS; id++) {
        if (memcmp(&before.slots[id], &clientTable.slots[id], sizeof(ClientSlot)) == 0) continue;
        check(changed < 0);  // one slot at most takes the note
        changed = id;
    }
    if (sent.empty()) {
        check(changed < 0);
        return;
    }
    // The note went to a slot in use, which now remembers it: with its moment to one that keeps the
    // room's clock.
    const Sent &note = sent[0];
    check(word(note.bytes, 1) == static_cast<int16_t>(key));
    bool toSlotInUse = false;
    for (int id = 0; id < MAX_CLIENTS; id++) {
        const ClientSlot &slot = clientTable.slots[id];
        if (!holds(model[id], note.ip, note.port) || slot.key != key || slot.noteEnd != end) continue;
        toSlotInUse = true;
        check(model[id].timed ? note.bytes.size() == TIMED_NOTE_LENGTH && word(note.bytes, 0) == MSG_TIMED_NOTE
                              : note.bytes.size() == REPLY_LENGTH && word(note.bytes, 0) == MSG_NOTE);
    }
    check(toSlotInUse);
    if (changed >= 0) check(holds(model[changed], note.ip, note.port));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // A real socket, so the socket library's checks pass; it is never bound and sends nothing.
    runState.socket = new netSocket();
    if (!runState.socket->open(false)) __builtin_trap();
    recordingHandle = runState.socket->getHandle();
    for (int i = 0; i < SENDERS; i++) senders[i].set(HOSTS[i & 3], PORTS[i >> 2]);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    clearClientTable();
    memset(model, 0, sizeof model);
    runState.playbackActive = 1;
    startSongNow();
    position = 0;
    now = 1000 * NANOS_PER_SECOND;
    Input input(data, size);
    while (!input.empty()) {
        uint8_t op = input.byte();
        if (op & 0x80) {
            dispatch(input);
        } else if (op == 0x7F) {
            runState.playbackActive = 0;  // a server waiting for an activate
        } else if (op == 0x7E) {
            passTime(input);
        } else if (op == 0x7D) {
            const int times = 1 + input.byte();
            receiveDatagram(input, input.byte(), times);
        } else {
            receiveDatagram(input, op, 1);
        }
    }
    return 0;
}
