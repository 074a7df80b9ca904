// Plays a song of 2,000 notes over 10 seconds to 32 fake clients and reports how late each note
// arrives against its start (p50, p99, max) and the server's processor time per wall second.
// With --flood N, another process sends N random datagrams to the server, evenly over the song.
// Talks to a real server, so it runs only inside the private network:
//   tests/e2e/netns_run.sh build/bench/server_lateness --tonecast build/src/tonecast [--flood 100000]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "net/protocol.h"
#include "support/midi_bytes.h"
#include "support/private_network.h"

namespace {

constexpr int NOTES = 2000;
constexpr int SPACING_MS = 5;    // 2,000 notes over 10 seconds
constexpr int KEYS = 125;        // keys 1 to 125 in turn, so no key sounds twice at once;
constexpr int SHORTEST_MS = 30;  // lengths 30 to 45 ms: (key, length) names the note
constexpr int CLIENTS = 32;
constexpr double SONG_SECONDS = NOTES * SPACING_MS / 1000.0;

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

void sendToServer(int handle, uint8_t firstByte) {
    uint8_t request[10] = {firstByte};
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(SERVER_PORT);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(handle, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&server), sizeof server);
}

// One datagram with the kernel's arrival time (realtime seconds); false when none came in time.
bool receive(int handle, int timeoutMs, uint8_t reply[6], double *arrival) {
    pollfd ready = {handle, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) != 1) return false;
    char control[256];
    iovec data = {reply, 6};
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

// Starts the server, waiting for an activate, and returns once it has bound its port.
pid_t startServer(const char *tonecast, const char *song) {
    int output[2];
    if (pipe(output) != 0) exit(1);
    pid_t server = fork();
    if (server == 0) {
        dup2(output[1], STDOUT_FILENO);
        close(output[0]);
        close(output[1]);
        execl(tonecast, tonecast, "-s", song, "-w", static_cast<char *>(nullptr));
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

}  // namespace

int main(int argc, char **argv) {
    int flood = 0;
    if (argc == 5 && strcmp(argv[3], "--flood") == 0) flood = atoi(argv[4]);
    if ((argc != 3 && flood <= 0) || strcmp(argv[1], "--tonecast") != 0) {
        fprintf(stderr, "usage: server_lateness --tonecast path/to/tonecast [--flood datagrams]\n");
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
    pid_t server = startServer(argv[2], song);
    std::vector<int> clients;
    for (int i = 0; i < CLIENTS; i++) {
        clients.push_back(loopbackSocket());
        sendToServer(clients.back(), 0xFF);
        uint8_t reply[6];
        double arrival;
        if (!receive(clients.back(), 2000, reply, &arrival) || readWord(reply, 0) != 2 || readWord(reply, 1) != i) {
            fprintf(stderr, "client %d was not registered\n", i);
            kill(server, SIGKILL);
            return 1;
        }
    }

    double songStart = now(CLOCK_REALTIME);
    sendToServer(clients[0], 0xFE);
    long dropsBefore = udpQueueDrops();
    pid_t flooder = flood > 0 ? startFlood(flood) : 0;
    std::vector<double> lateness;
    std::vector<bool> seen(NOTES, false);
    int goodByes = 0, strays = 0;
    std::vector<pollfd> ready;
    ready.reserve(clients.size());
    for (int handle : clients) ready.push_back({handle, POLLIN, 0});
    while (goodByes < CLIENTS && poll(ready.data(), ready.size(), 5000) > 0) {
        for (pollfd &client : ready) {
            uint8_t reply[6];
            double arrival;
            if (!(client.revents & POLLIN) || !receive(client.fd, 0, reply, &arrival)) continue;
            if (readWord(reply, 0) == 5) {
                goodByes++;
                continue;
            }
            int note = noteOf(readWord(reply, 1), readWord(reply, 2));
            if (readWord(reply, 0) != 4 || readWord(reply, 1) < 1 || readWord(reply, 1) > KEYS || note < 0 ||
                note >= NOTES || seen[note]) {
                strays++;
                continue;
            }
            seen[note] = true;
            lateness.push_back((arrival - songStart) * 1000.0 - startOf(note));
        }
    }
    int status = 0;
    rusage usage = {};
    wait4(server, &status, 0, &usage);
    if (flooder > 0) waitpid(flooder, nullptr, 0);
    double wall = now(CLOCK_MONOTONIC) - launched;
    unlink(song);
    for (int handle : clients) close(handle);

    printf("datagrams dropped by full socket queues: %ld\n", udpQueueDrops() - dropsBefore);
    double cpu = seconds({usage.ru_utime.tv_sec, usage.ru_utime.tv_usec * 1000}) +
                 seconds({usage.ru_stime.tv_sec, usage.ru_stime.tv_usec * 1000});
    printf("notes received: %zu of %d (good-byes %d of %d, strays %d)\n", lateness.size(), NOTES, goodByes, CLIENTS,
           strays);
    if (lateness.empty()) return 1;
    std::sort(lateness.begin(), lateness.end());
    printf("lateness against the note's start, ms: p50 %.3f  p99 %.3f  max %.3f  (min %.3f)\n",
           percentile(lateness, 0.5), percentile(lateness, 0.99), lateness.back(), lateness.front());
    printf("server processor time: %.3f s in %.3f s of wall time = %.2f%% of one core\n", cpu, wall,
           100.0 * cpu / wall);
    // Other work on the machine delays the server's wakeups; the figures mean little without this.
    double load[3];
    if (getloadavg(load, 3) == 3) printf("load average of the machine: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
