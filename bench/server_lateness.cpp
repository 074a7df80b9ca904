// Plays a song of 2,000 notes over 10 seconds to 32 fake clients and reports how late each note
// arrives against its start (p50, p99, max) and the server's processor time per wall second.
// With --flood N, another process sends N random datagrams to the server, evenly over the song.
// With --timed N, N of the clients know the room's clock: they ask the server's time four times a
// second, their notes come a lead ahead, and their lateness is against that moment; with --web as
// well, those N are pages joined through the web port. With --clock-flood, one of them asks the time
// back to back all through the song instead, and the song's loop (the server's main thread) is
// measured on its own. With --conductor N (1 or 2), N conductor's pages are open through the web
// port all through the song: each is told the room's state (up to ten times a second) and sends a
// tempo of 100 % once a second, which changes nothing but makes the loop act and tell the state.
// Talks to a real server, so it runs only inside the private network:
//   tests/e2e/netns_run.sh build/bench/server_lateness --tonecast build/src/tonecast [--flood 100000]
//       [--timed 16 [--web] [--clock-flood]] [--conductor 2]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/protocol.h"
#include "support/midi_bytes.h"
#include "support/private_network.h"
#include "web/web_room.h"

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;

namespace {

constexpr int NOTES = 2000;
constexpr int SPACING_MS = 5;    // 2,000 notes over 10 seconds
constexpr int KEYS = 125;        // keys 1 to 125 in turn, so no key sounds twice at once;
constexpr int SHORTEST_MS = 30;  // lengths 30 to 45 ms: (key, length) names the note
constexpr int CLIENTS = 32;
constexpr double SONG_SECONDS = NOTES * SPACING_MS / 1000.0;
constexpr int LEAD_MS = 150;  // the server's own lead, which timed clients get their notes by
constexpr int MOST_CONDUCTORS = 2;
constexpr char CONDUCTOR_KEY[] = "server-lateness-conductor-key";
constexpr auto CONDUCTOR_COMMAND_EVERY = std::chrono::seconds(1);

// From 10 ms on: before that, fresh clients are not yet idle and only one could take a note.
int startOf(int note) {
    return 10 + note * SPACING_MS;
}
int keyOf(int note) {
    return 1 + note % KEYS;
}
int lengthOf(int note) {
    return SHORTEST_MS + note / KEYS;
}
int noteOf(int key, int toneLength) {
    return (toneLength + 20 - SHORTEST_MS) * KEYS + key - 1;
}

// Format 0, division 512 and 512000 us per quarter note: one tick is one millisecond, and ticks
// divided by a power of two convert to milliseconds without rounding.
midibytes::Bytes songFile() {
    struct Event {
        int tick;
        int order;  // note-offs before note-ons at the same tick
        midibytes::Bytes bytes;
    };
    std::vector<Event> events;
    for (int note = 0; note < NOTES; note++) {
        uint8_t key = static_cast<uint8_t>(keyOf(note));
        events.push_back({startOf(note), 1, {0x90, key, 0x64}});
        events.push_back({startOf(note) + lengthOf(note), 0, {0x80, key, 0x00}});
    }
    std::stable_sort(events.begin(), events.end(), [](const Event &a, const Event &b) {
        return a.tick != b.tick ? a.tick < b.tick : a.order < b.order;
    });
    midibytes::Bytes track = midibytes::meta(0, 0x51, {0x07, 0xd0, 0x00});
    int lastTick = 0;
    for (const Event &event : events) {
        track = midibytes::cat({track, midibytes::varLen(static_cast<uint32_t>(event.tick - lastTick)), event.bytes});
        lastTick = event.tick;
    }
    return midibytes::song(0, 512, {midibytes::cat({track, midibytes::endOfTrack()})});
}

double seconds(const timespec &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double now(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return seconds(t);
}

int loopbackSocket() {
    int handle = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (handle < 0 || bind(handle, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        perror("socket");
        exit(1);
    }
    int on = 1;
    setsockopt(handle, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return handle;
}

void sendToServer(int handle, const Message &request) {
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(SERVER_PORT);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(handle, request.bytes, static_cast<size_t>(request.length), 0, reinterpret_cast<sockaddr *>(&server),
           sizeof server);
}

// One datagram with the kernel's arrival time (realtime seconds); false when none came in time.
bool receive(int handle, int timeoutMs, uint8_t reply[LONGEST_MESSAGE], double *arrival) {
    pollfd ready = {handle, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) != 1) return false;
    char control[256];
    iovec data = {reply, LONGEST_MESSAGE};
    msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(handle, &message, 0) < 6) return false;
    *arrival = now(CLOCK_REALTIME);
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp;
            memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            *arrival = seconds(stamp);
        }
    }
    return true;
}

// Registers a client as the given id; a timed one also takes the welcome that follows.
bool registerAs(int handle, bool timed, int id) {
    sendToServer(handle, timed ? timedConnectMessage(CLOCK_PROTOCOL_VERSION) : connectMessage());
    uint8_t reply[LONGEST_MESSAGE];
    double arrival;
    if (!receive(handle, 2000, reply, &arrival) || readWord(reply, 0) != MSG_ASSIGN_ID || readWord(reply, 1) != id)
        return false;
    return !timed || (receive(handle, 2000, reply, &arrival) && readWord(reply, 0) == MSG_WELCOME);
}

// Timed clients are spread over the ids: the server gives a note to the lowest idle id, and this
// song keeps only about 11 busy, so a group on the higher ids would get no note at all.
bool isTimed(int client, int timedCount) {
    return (client + 1) * timedCount / CLIENTS > client * timedCount / CLIENTS;
}

// A note as a client received it, and when (realtime seconds).
struct Arrival {
    bool timed;
    bool expectedKind;  // a timed note for a timed client, a note for an older one
    int key, length;
    uint32_t at;  // a timed note's moment, a microsecond of the server's monotonic clock
    double time;
};

// A WebSocket to the server's web port, speaking as a browser does.
struct WebPeer {
    explicit WebPeer(asio::io_context &io) : socket(io), ticker(io) {}
    websocket::stream<asio::ip::tcp::socket> socket;
    asio::steady_timer ticker;  // paces what the peer sends of its own accord
    boost::beast::flat_buffer incoming;
    std::deque<std::string> outgoing;
    bool closed = false;
};

// One page joined through the web port: its clock requests are its signs of life.
struct Page : WebPeer {
    using WebPeer::WebPeer;
    uint32_t stamp = 0;
    int burst = 64;  // a page that has just joined asks the time 5 ms apart before settling to 4/s
    bool over = false;
    std::vector<Arrival> notes;
    int clockReplies = 0;
};

// A conductor's page: told the room's state, it steers now and then.
struct Conductor : WebPeer {
    using WebPeer::WebPeer;
    long states = 0;
    long commands = 0;
};

std::string takeText(WebPeer &peer) {
    std::string text = boost::beast::buffers_to_string(peer.incoming.data());
    peer.incoming.consume(peer.incoming.size());
    return text;
}

// Opens the peer's WebSocket at the path of the web port; false when it could not.
bool openSocket(WebPeer &peer, const std::string &path, boost::system::error_code &failure) {
    const asio::ip::tcp::endpoint room(asio::ip::address_v4::loopback(), DEFAULT_WEB_PORT);
    // The server opens its web port just after it has said it bound its own: the first peer may be early.
    for (int tries = 0;; tries++) {
        peer.socket.next_layer().connect(room, failure);
        if (!failure) break;
        if (tries == 200) return false;
        boost::system::error_code ignored;
        peer.socket.next_layer().close(ignored);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    peer.socket.handshake("127.0.0.1:" + std::to_string(DEFAULT_WEB_PORT), path, failure);
    peer.socket.text(true);
    return !failure;
}

// Opens the page's socket and joins; the id the server gave it once the welcome came, else -1.
int joinPage(Page &page) {
    boost::system::error_code failure;
    if (openSocket(page, "/room", failure)) page.socket.write(asio::buffer(std::string("join")), failure);
    int id = -1;
    while (!failure && page.socket.read(page.incoming, failure) > 0) {
        const std::string text = takeText(page);
        int given = 0;
        if (sscanf(text.c_str(), R"({"id":%d)", &given) == 1) id = given;
        if (text.rfind(R"({"welcome":)", 0) == 0) return id;
        if (text == R"({"full":true})") return -1;
    }
    return -1;
}

void writeNext(WebPeer &peer) {
    peer.socket.async_write(asio::buffer(peer.outgoing.front()), [&peer](boost::system::error_code failure, size_t) {
        if (failure) return;
        peer.outgoing.pop_front();
        if (!peer.outgoing.empty()) writeNext(peer);
    });
}

void sendText(WebPeer &peer, std::string text) {
    peer.outgoing.push_back(std::move(text));
    if (peer.outgoing.size() == 1) writeNext(peer);
}

// Asks the server's time as a page does: a burst just after joining, then four times a second.
void tick(Page &page) {
    if (page.closed) return;
    sendText(page, "clock " + std::to_string(++page.stamp));
    page.ticker.expires_after(std::chrono::milliseconds(--page.burst > 0 ? 5 : 250));
    page.ticker.async_wait([&page](boost::system::error_code failure) {
        if (!failure) tick(page);
    });
}

// Asks the server's time back to back, as a hostile page could: each request as soon as the last
// is written, until the server closes the socket.
void floodClock(Page &page) {
    if (page.closed) return;
    page.outgoing.push_back("clock " + std::to_string(++page.stamp));
    page.socket.async_write(asio::buffer(page.outgoing.back()), [&page](boost::system::error_code failure, size_t) {
        page.outgoing.pop_front();
        if (!failure) floodClock(page);
    });
}

// Takes the page's notes, each with the time it was read, until the server closes the socket.
void readPage(Page &page) {
    page.socket.async_read(page.incoming, [&page](boost::system::error_code failure, size_t) {
        const double arrival = now(CLOCK_REALTIME);
        if (failure) {
            page.closed = true;
            page.ticker.cancel();
            return;
        }
        const std::string text = takeText(page);
        int key = 0, length = 0;
        uint32_t at = 0;
        if (sscanf(text.c_str(), R"({"note":%d,"ms":%d,"at":%u)", &key, &length, &at) == 3)
            page.notes.push_back({true, true, key, length, at, arrival});
        if (text == R"({"over":true})") page.over = true;
        if (text.rfind(R"({"clock":)", 0) == 0) page.clockReplies++;
        readPage(page);
    });
}

// The realtime moment of the song's position 0 in a room with a timed client. The server counts its
// schedule from the whole millisecond of its monotonic clock in which the activate came (a lead
// later), so the moment the bench sent it is up to a millisecond off, differently each run; a timed
// note tells the start on that clock (its moment less its start), and so that millisecond.
double serverSongStart(const std::vector<Arrival> &arrivals, double activateReal, double activateMono) {
    const int64_t activateMicros = std::llround(activateMono * 1e6);
    for (const Arrival &arrival : arrivals) {
        const int note = noteOf(arrival.key, arrival.length);
        if (!arrival.timed || !arrival.expectedKind || note < 0 || note >= NOTES) continue;
        const uint32_t startMicros = arrival.at - static_cast<uint32_t>(startOf(note) * 1000);
        // The server's 32-bit microseconds wrap; the activate was a lead before the start.
        const int64_t origin =
            activateMicros + static_cast<int32_t>(startMicros - static_cast<uint32_t>(activateMicros));
        const int64_t wholeMs = origin / 1000;
        return activateReal + static_cast<double>(wholeMs) / 1000.0 - activateMono;
    }
    return activateReal + LEAD_MS / 1000.0;
}

// Sends a command that changes nothing, as a conductor who taps the tempo back to where it is.
void steer(Conductor &conductor) {
    if (conductor.closed) return;
    sendText(conductor, R"({"cmd":"tempo","percent":100})");
    conductor.commands++;
    conductor.ticker.expires_after(CONDUCTOR_COMMAND_EVERY);
    conductor.ticker.async_wait([&conductor](boost::system::error_code failure) {
        if (!failure) steer(conductor);
    });
}

// Counts the states the conductor is told and answers its pings, until the server closes the socket.
void readConductor(Conductor &conductor) {
    conductor.socket.async_read(conductor.incoming, [&conductor](boost::system::error_code failure, size_t) {
        if (failure) {
            conductor.closed = true;
            conductor.ticker.cancel();
            return;
        }
        const std::string text = takeText(conductor);
        long ping = 0;
        if (sscanf(text.c_str(), R"({"ping":%ld})", &ping) == 1)
            sendText(conductor, R"({"pong":)" + std::to_string(ping) + "}");
        if (text.rfind(R"({"state":)", 0) == 0) conductor.states++;
        readConductor(conductor);
    });
}

// Starts the server, waiting for an activate, and returns once it has bound its port.
pid_t startServer(const char *tonecast, const char *song, bool web) {
    int output[2];
    if (pipe(output) != 0) exit(1);
    pid_t server = fork();
    if (server == 0) {
        dup2(output[1], STDOUT_FILENO);
        close(output[0]);
        close(output[1]);
        // Without the web port the list ends three arguments earlier.
        execl(tonecast, tonecast, "-s", song, "-w", web ? "--web" : static_cast<char *>(nullptr), "--conductor-key",
              CONDUCTOR_KEY, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(output[1]);
    std::string seen;
    char buffer[256];
    ssize_t length;
    while (seen.find("SV: Binded") == std::string::npos && (length = read(output[0], buffer, sizeof buffer)) > 0)
        seen.append(buffer, static_cast<size_t>(length));
    if (seen.find("SV: Binded") == std::string::npos) {
        fprintf(stderr, "the server did not start:\n%s", seen.c_str());
        exit(1);
    }
    // The rest of its output is a few lines; the pipe holds them.
    return server;
}

// Random datagrams of 0 to 1400 bytes from a socket of its own, paced to spread over the song.
// A stranger can neither join the full room nor release anybody, so the song must play on.
pid_t startFlood(int count) {
    fflush(stdout);
    pid_t flooder = fork();
    if (flooder != 0) return flooder;
    int handle = loopbackSocket();
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(SERVER_PORT);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&state]() {  // xorshift64
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    uint8_t datagram[1400];
    double begun = now(CLOCK_MONOTONIC);
    int sent = 0;
    for (int i = 0; i < count; i++) {
        if (i % 100 == 0) {
            double ahead = begun + SONG_SECONDS * i / count - now(CLOCK_MONOTONIC);
            if (ahead > 0) std::this_thread::sleep_for(std::chrono::duration<double>(ahead));
        }
        size_t length = next() % 4 == 0 ? next() % sizeof datagram : next() % 12;
        for (size_t b = 0; b < length; b++) datagram[b] = static_cast<uint8_t>(next());
        if (sendto(handle, datagram, length, 0, reinterpret_cast<sockaddr *>(&server), sizeof server) >= 0) sent++;
    }
    printf("flood: %d random datagrams sent in %.3f s\n", sent, now(CLOCK_MONOTONIC) - begun);
    fflush(stdout);
    _exit(0);
}

// Timed clients ask the server's time as the program's clients do once settled, four times a second,
// which keeps them in the room; the flooder, if any, asks back to back instead, counting what it sent.
// Until the run ends.
void askTheTime(const std::vector<int> &timedHandles, int flooder, const std::atomic<bool> &ended, long &flooded) {
    uint32_t stamp = 0;
    auto nextRound = std::chrono::steady_clock::now();
    while (!ended) {
        if (std::chrono::steady_clock::now() >= nextRound) {
            for (int handle : timedHandles) {
                if (handle != flooder) sendToServer(handle, clockRequestMessage(++stamp, CLOCK_PROTOCOL_VERSION));
            }
            nextRound += std::chrono::milliseconds(250);
        }
        if (flooder >= 0) {
            sendToServer(flooder, clockRequestMessage(++stamp, CLOCK_PROTOCOL_VERSION));
            flooded++;
        } else {
            std::this_thread::sleep_until(nextRound);
        }
    }
}

// Processor time of one of a process's threads so far, in seconds; negative once it has ended.
double threadCpuSeconds(pid_t process, pid_t thread) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task/%d/stat", static_cast<int>(process), static_cast<int>(thread));
    FILE *stat = fopen(path, "r");
    if (stat == nullptr) return -1;
    char line[1024];
    const bool read = fgets(line, sizeof line, stat) != nullptr;
    fclose(stat);
    // After the name in parentheses: the state is field 3, user time 14 and system time 15, in ticks.
    const char *fields = read ? strrchr(line, ')') : nullptr;
    unsigned long user = 0, system = 0;
    if (fields == nullptr ||
        sscanf(fields + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
        return -1;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The song loop's processor time per wall second from now until the server ends: its main thread,
// read every 50 ms, the last reading before it ended counting.
struct LoopLoad {
    double firstCpu = -1, firstWall = 0, lastCpu = -1, lastWall = 0;
};
void watchSongLoop(pid_t server, LoopLoad &load) {
    for (;;) {
        const double cpu = threadCpuSeconds(server, server);
        if (cpu < 0) return;
        const double wall = now(CLOCK_MONOTONIC);
        if (load.firstCpu < 0) {
            load.firstCpu = cpu;
            load.firstWall = wall;
        }
        load.lastCpu = cpu;
        load.lastWall = wall;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Datagrams the kernel of the private network dropped because a socket's queue was full.
long udpQueueDrops() {
    FILE *snmp = fopen("/proc/net/snmp", "r");
    if (snmp == nullptr) return -1;
    char names[512], values[512];
    long drops = -1;
    while (drops < 0 && fgets(names, sizeof names, snmp) != nullptr) {
        if (strncmp(names, "Udp:", 4) != 0 || fgets(values, sizeof values, snmp) == nullptr) continue;
        // The field's position in the names line gives its position in the values line.
        int field = 0;
        char *rest = nullptr;
        for (char *name = strtok_r(names, " \n", &rest); name != nullptr && strcmp(name, "RcvbufErrors") != 0;
             name = strtok_r(nullptr, " \n", &rest))
            field++;
        char *value = strtok_r(values, " \n", &rest);
        for (int i = 0; i < field && value != nullptr; i++) value = strtok_r(nullptr, " \n", &rest);
        if (value != nullptr) drops = atol(value);
    }
    fclose(snmp);
    return drops;
}

double percentile(std::vector<double> sorted, double fraction) {
    size_t index = static_cast<size_t>(std::lround(fraction * static_cast<double>(sorted.size() - 1)));
    return sorted[index];
}

void printLateness(const char *against, std::vector<double> lateness) {
    std::sort(lateness.begin(), lateness.end());
    if (lateness.empty()) {
        printf("no notes\n");
        return;
    }
    printf("lateness against %s, ms: p50 %.3f  p99 %.3f  max %.3f  (min %.3f)\n", against, percentile(lateness, 0.5),
           percentile(lateness, 0.99), lateness.back(), lateness.front());
}

// A count from 1 to most.
bool readCount(const char *text, int most, int &count) {
    count = atoi(text);
    return count > 0 && count <= most;
}

}  // namespace

int main(int argc, char **argv) {  // NOLINT(bugprone-exception-escape): Boost's failures end the bench
    int flood = 0, timedCount = 0, conductorCount = 0;
    bool web = false, clockFlood = false;
    bool understood = argc >= 3 && strcmp(argv[1], "--tonecast") == 0;
    for (int i = 3; understood && i < argc; i++) {
        if (strcmp(argv[i], "--web") == 0) {
            web = true;
        } else if (strcmp(argv[i], "--clock-flood") == 0) {
            clockFlood = true;
        } else if (i + 1 < argc && strcmp(argv[i], "--flood") == 0) {
            understood = readCount(argv[++i], INT32_MAX, flood);
        } else if (i + 1 < argc && strcmp(argv[i], "--timed") == 0) {
            understood = readCount(argv[++i], CLIENTS, timedCount);
        } else if (i + 1 < argc && strcmp(argv[i], "--conductor") == 0) {
            understood = readCount(argv[++i], MOST_CONDUCTORS, conductorCount);
        } else {
            understood = false;
        }
    }
    if (!understood || ((web || clockFlood) && timedCount == 0)) {
        fprintf(stderr,
                "usage: server_lateness --tonecast path/to/tonecast [--flood datagrams] "
                "[--timed clients [--web] [--clock-flood]] [--conductor 1|2]\n");
        return 2;
    }
    if (!insidePrivateNetwork()) {
        fprintf(stderr, "server_lateness runs only inside tests/e2e/netns_run.sh\n");
        return 97;
    }
    char song[] = "/tmp/server_lateness_XXXXXX";
    int file = mkstemp(song);
    midibytes::Bytes bytes = songFile();
    if (file < 0 || write(file, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return 1;
    close(file);

    double launched = now(CLOCK_MONOTONIC);
    pid_t server = startServer(argv[2], song, web || conductorCount > 0);
    asio::io_context io;
    std::vector<std::unique_ptr<Page>> pages;
    std::vector<int> clients;
    std::vector<bool> timedClient;
    // In the order of the ids, each given its id before the next asks.
    for (int i = 0; i < CLIENTS; i++) {
        bool registered;
        if (isTimed(i, timedCount) && web) {
            pages.push_back(std::make_unique<Page>(io));
            registered = joinPage(*pages.back()) == i;
        } else {
            clients.push_back(loopbackSocket());
            timedClient.push_back(isTimed(i, timedCount));
            registered = registerAs(clients.back(), timedClient.back(), i);
        }
        if (!registered) {
            fprintf(stderr, "client %d was not registered\n", i);
            kill(server, SIGKILL);
            return 1;
        }
    }
    std::vector<std::unique_ptr<Conductor>> conductors;
    for (int i = 0; i < conductorCount; i++) {
        conductors.push_back(std::make_unique<Conductor>(io));
        boost::system::error_code failure;
        if (!openSocket(*conductors.back(), std::string("/conductor/") + CONDUCTOR_KEY + "/socket", failure)) {
            fprintf(stderr, "conductor %d could not open its socket: %s\n", i, failure.message().c_str());
            kill(server, SIGKILL);
            return 1;
        }
    }
    // The pages' clock requests begin together, their bursts over the song's first moments. The
    // first page floods, as the first timed client does without pages.
    std::thread pageThread([&io, &pages, &conductors, clockFlood] {
        for (const auto &conductor : conductors) {
            readConductor(*conductor);
            steer(*conductor);
        }
        for (const auto &page : pages) {
            readPage(*page);
            if (clockFlood && page == pages.front()) {
                floodClock(*page);
            } else {
                tick(*page);
            }
        }
        io.run();
    });
    std::vector<int> timedHandles;
    for (size_t c = 0; c < clients.size(); c++) {
        if (timedClient[c]) timedHandles.push_back(clients[c]);
    }
    const int clockFlooder = clockFlood && !timedHandles.empty() ? timedHandles.front() : -1;

    const double activateReal = now(CLOCK_REALTIME), activateMono = now(CLOCK_MONOTONIC);
    sendToServer(clients.empty() ? loopbackSocket() : clients[0], activateMessage());
    // Only after the activate, which a flood before it could crowd out of the server's queue.
    std::atomic<bool> ended{false};
    long flooded = 0;
    std::thread askingThread(askTheTime, std::cref(timedHandles), clockFlooder, std::cref(ended), std::ref(flooded));
    LoopLoad loopLoad;
    std::thread loopWatch(watchSongLoop, server, std::ref(loopLoad));
    long dropsBefore = udpQueueDrops();
    pid_t flooder = flood > 0 ? startFlood(flood) : 0;
    std::vector<Arrival> arrivals;
    int goodByes = 0, clockReplies = 0;
    std::vector<pollfd> ready;
    ready.reserve(clients.size());
    for (int handle : clients) ready.push_back({handle, POLLIN, 0});
    while (goodByes < static_cast<int>(clients.size()) && poll(ready.data(), ready.size(), 5000) > 0) {
        for (size_t c = 0; c < ready.size(); c++) {
            uint8_t reply[LONGEST_MESSAGE] = {};
            double arrival;
            if (!(ready[c].revents & POLLIN) || !receive(ready[c].fd, 0, reply, &arrival)) continue;
            if (readWord(reply, 0) == MSG_BYE) {
                goodByes++;
                continue;
            }
            if (readWord(reply, 0) == MSG_CLOCK_REPLY) {
                clockReplies += ready[c].fd == clockFlooder ? 1 : 0;
                continue;
            }
            const bool timed = timedClient[c];
            arrivals.push_back({timed, readWord(reply, 0) == (timed ? MSG_TIMED_NOTE : MSG_NOTE), readWord(reply, 1),
                                readWord(reply, 2), readStamp(reply, NOTE_TIME_OFFSET), arrival});
        }
    }
    ended = true;
    askingThread.join();
    int status = 0;
    rusage usage = {};
    wait4(server, &status, 0, &usage);
    loopWatch.join();
    if (flooder > 0) waitpid(flooder, nullptr, 0);
    // The server's end closes every page's socket, which ends the pages' thread.
    pageThread.join();
    int overs = 0;
    if (clockFlood && web) clockReplies = pages.front()->clockReplies;
    for (const auto &page : pages) {
        overs += page->over ? 1 : 0;
        arrivals.insert(arrivals.end(), page->notes.begin(), page->notes.end());
    }
    const double songStart = timedCount > 0 ? serverSongStart(arrivals, activateReal, activateMono) : activateReal;
    std::vector<double> oldLateness, timedLateness;
    std::vector<bool> seen(NOTES, false);
    int strays = 0;
    for (const Arrival &arrival : arrivals) {
        int note = noteOf(arrival.key, arrival.length);
        if (!arrival.expectedKind || arrival.key < 1 || arrival.key > KEYS || note < 0 || note >= NOTES || seen[note]) {
            strays++;
            continue;
        }
        seen[note] = true;
        // A timed client's note is due a lead before its start.
        const double due = startOf(note) - (arrival.timed ? LEAD_MS : 0);
        (arrival.timed ? timedLateness : oldLateness).push_back((arrival.time - songStart) * 1000.0 - due);
    }
    double wall = now(CLOCK_MONOTONIC) - launched;
    unlink(song);
    for (int handle : clients) close(handle);

    printf("datagrams dropped by full socket queues: %ld\n", udpQueueDrops() - dropsBefore);
    double cpu = seconds({usage.ru_utime.tv_sec, usage.ru_utime.tv_usec * 1000}) +
                 seconds({usage.ru_stime.tv_sec, usage.ru_stime.tv_usec * 1000});
    printf("notes received: %zu of %d (good-byes %d of %zu", oldLateness.size() + timedLateness.size(), NOTES, goodByes,
           clients.size());
    if (web) printf(", pages told it is over %d of %zu", overs, pages.size());
    printf(", strays %d)\n", strays);
    if (oldLateness.empty() && timedLateness.empty()) return 1;
    if (timedCount == 0) {
        printLateness("the note's start", oldLateness);
    } else {
        printf("older clients (%d), %zu notes: ", CLIENTS - timedCount, oldLateness.size());
        printLateness("the note's start", oldLateness);
        printf("timed %s (%d), %zu notes: ", web ? "pages" : "clients", timedCount, timedLateness.size());
        printLateness("a lead before the start", timedLateness);
    }
    printf("server processor time: %.3f s in %.3f s of wall time = %.2f%% of one core\n", cpu, wall,
           100.0 * cpu / wall);
    const double loopWall = loopLoad.lastWall - loopLoad.firstWall;
    if (loopWall > 0) {
        printf("song loop (main thread) from the activate on: %.3f s in %.3f s = %.2f%% of one core\n",
               loopLoad.lastCpu - loopLoad.firstCpu, loopWall,
               100.0 * (loopLoad.lastCpu - loopLoad.firstCpu) / loopWall);
    }
    if (!conductors.empty()) {
        long states = 0, commands = 0;
        for (const auto &conductor : conductors) {
            states += conductor->states;
            commands += conductor->commands;
        }
        printf("conductors (%zu): told %ld states, %.1f a second each; sent %ld commands\n", conductors.size(), states,
               static_cast<double>(states) / static_cast<double>(conductors.size()) / wall, commands);
    }
    if (clockFlood && web) printf("clock replies to the flooding page: %d\n", clockReplies);
    if (clockFlood && !web) printf("clock requests of the flooding client: %ld, replies %d\n", flooded, clockReplies);
    // Other work on the machine delays the server's wakeups; the figures mean little without this.
    double load[3];
    if (getloadavg(load, 3) == 3) printf("load average of the machine: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
