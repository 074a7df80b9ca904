// Arbitrary datagrams from arbitrary senders, handled as the server loop handles them, with notes
// dispatched in between: registers, releases, activates and dispatches in any order. Beyond the
// sanitizers' checks, a model of the 32 slots (who holds which) must match the table after every
// step, a free slot stays all zero, and every send is the one reply the step calls for: an id to
// the sender that took or holds a slot (and the welcome to one that keeps the room's clock), the
// time to such a client's clock request, or one note to a slot in use, never to a freed one.
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

#include "net/client_table.h"
#include "net/dispatch.h"
#include "net/protocol.h"
#include "net/server.h"
#include "platform/clock.h"
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

struct ModelSlot {
    bool inUse;
    uint32_t ip;
    uint16_t port;
    bool timed;  // took its slot with the room clock's mark
};

ModelSlot model[MAX_CLIENTS];
uint8_t receiveBuffer[SERVER_RECEIVE_BUFFER];  // like the server's, never cleared between datagrams
int32_t position;

class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return used_ >= size_; }
    uint8_t byte() { return used_ < size_ ? data_[used_++] : 0; }
    // Up to count bytes into out; returns how many there were.
    size_t take(uint8_t *out, size_t count) {
        size_t available = size_ - used_ < count ? size_ - used_ : count;
        memcpy(out, data_ + used_, available);
        used_ += available;
        return available;
    }
    int32_t int32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; i++) value = (value << 8) | byte();
        return static_cast<int32_t>(value);
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t used_ = 0;
};

void check(bool holds) {
    if (!holds) __builtin_trap();
}

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

void checkTableMatchesModel() {
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

// One datagram: the sender, how many bytes arrived, and the bytes (what the input lacks is whatever
// the buffer held before). The model follows the documented rules of each kind.
void receiveDatagram(Input &input, uint8_t op) {
    const netAddress &sender = senders[op % SENDERS];
    uint8_t lengthCode = input.byte();
    int length = lengthCode < 0xF0 ? lengthCode : (lengthCode - 0xEF) * 100;
    if (length > SERVER_RECEIVE_BUFFER) length = SERVER_RECEIVE_BUFFER;
    input.take(receiveBuffer, static_cast<size_t>(length));

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
                model[registeredAs] = {true, ip, port, carriesClockMark(fields)};
            }
        } else if (first == MSG_ACTIVATE) {
            playbackAfter = 1;
        } else if (first == MSG_CLOCK_REQUEST && carriesClockMark(fields)) {
            for (int i = 0; i < MAX_CLIENTS; i++) {
                if (holds(model[i], ip, port) && model[i].timed) askedTheTime = i;
            }
        } else if (mark == MSG_BYE && id >= 0 && id < MAX_CLIENTS && holds(model[id], ip, port)) {
            model[id] = {};
        }
    }
    sent.clear();
    handleServerDatagram(receiveBuffer, length, sender, monotonicNanos());
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
    const Message welcome = welcomeMessage();
    if (replies == 2) check(sent[1].bytes == std::vector<uint8_t>(welcome.bytes, welcome.bytes + welcome.length));
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
    Input input(data, size);
    while (!input.empty()) {
        uint8_t op = input.byte();
        if (op & 0x80) {
            dispatch(input);
        } else if (op == 0x7F) {
            runState.playbackActive = 0;  // a server waiting for an activate
        } else {
            receiveDatagram(input, op);
        }
    }
    return 0;
}
