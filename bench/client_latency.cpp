// Times the real client ("-c") against a fake server: processor time while connected and idle, and
// how long after a note datagram is sent the client hands its first sample to ALSA. The client
// runs in a child process; this program stands in for ALSA's sample-writing call to clock it.
// It sends datagrams, so it runs only inside tests/e2e/netns_run.sh.
#include <alsa/asoundlib.h>
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "net/protocol.h"
#include "shell/command_line.h"
#include "support/private_network.h"

namespace {

constexpr int NOTES = 40;
constexpr int NOTE_MS = 30;
constexpr int IDLE_SECONDS = 10;

// Shared with the child: when it first handed samples to ALSA since the parent last cleared it.
std::atomic<int64_t> *firstSampleNs = nullptr;

int64_t nowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// The client's processor time so far, in nanoseconds, from the scheduler's own account.
int64_t cpuNs(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/schedstat";
    FILE *stats = fopen(path.c_str(), "r");
    long long ns = -1;
    if (stats) {
        if (fscanf(stats, "%lld", &ns) != 1) ns = -1;
        fclose(stats);
    }
    return ns;
}

bool pointAlsaAtNothing() {
    char directory[] = "/tmp/tonecast-client-bench-XXXXXX";
    if (!mkdtemp(directory)) return false;
    std::string config = std::string(directory) + "/.asoundrc";
    FILE *file = fopen(config.c_str(), "w");
    if (!file) return false;
    fputs("pcm.!default { type file; slave.pcm \"null\"; file \"/dev/null\"; format \"raw\" }\n", file);
    fclose(file);
    setenv("HOME", directory, 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("ALSA_CONFIG_PATH");
    return true;
}

pid_t startClient() {
    pid_t pid = fork();
    if (pid == 0) {
        if (freopen("/dev/null", "w", stdout) == nullptr) _exit(1);
        char program[] = "tonecast", client[] = "-c";
        char *argv[] = {program, client, nullptr};
        runTonecast(2, argv);
        _exit(1);
    }
    return pid;
}

void send(int sock, const Message &message, const sockaddr_in &to) {
    sendto(sock, message.bytes, message.length, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

void sleepMs(int ms) {
    timespec length = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&length, nullptr);
}

// Sends a note and waits for its first sample; the delay in ms, or -1 when none came in a second.
double noteToFirstSample(int sock, const sockaddr_in &client) {
    firstSampleNs->store(0);
    const int64_t sent = nowNs();
    send(sock, noteMessage(69, NOTE_MS), client);
    while (firstSampleNs->load() == 0) {
        if (nowNs() - sent > 1000000000) return -1;
        sleepMs(1);
    }
    const double delay = static_cast<double>(firstSampleNs->load() - sent) / 1e6;
    sleepMs(NOTE_MS + 30);  // the tone ends before the next note is sent
    return delay;
}

}  // namespace

// The client's calls to ALSA's sample writer land here first.
snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t *pcm, const void *buffer, snd_pcm_uframes_t size) {
    using Writer = snd_pcm_sframes_t (*)(snd_pcm_t *, const void *, snd_pcm_uframes_t);
    static Writer alsaWriter = reinterpret_cast<Writer>(dlsym(RTLD_NEXT, "snd_pcm_writei"));
    if (firstSampleNs) {
        int64_t unset = 0;
        firstSampleNs->compare_exchange_strong(unset, nowNs());
    }
    return alsaWriter(pcm, buffer, size);
}

int main() {
    if (!insidePrivateNetwork()) {
        fprintf(stderr, "client_latency sends datagrams: run it through tests/e2e/netns_run.sh\n");
        return 97;
    }
    if (!pointAlsaAtNothing()) return 1;
    const size_t sharedSize = sizeof(std::atomic<int64_t>);
    // cppcheck-suppress invalidFunctionArg ; an anonymous mapping takes the descriptor -1 (see mmap(2))
    void *shared = mmap(nullptr, sharedSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return 1;
    firstSampleNs = new (shared) std::atomic<int64_t>(0);

    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = htons(SERVER_PORT);
    if (bind(sock, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0) {
        close(sock);
        return 1;
    }

    const pid_t pid = startClient();
    pollfd ready = {sock, POLLIN, 0};
    uint8_t request[64];
    sockaddr_in client = {};
    socklen_t clientLength = sizeof client;
    if (poll(&ready, 1, 5000) != 1 ||
        recvfrom(sock, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&client), &clientLength) < 1) {
        fprintf(stderr, "no connect request from the client\n");
        kill(pid, SIGKILL);
        return 1;
    }
    send(sock, assignIdMessage(1), client);
    sleepMs(200);

    const int64_t cpuBefore = cpuNs(pid), wallBefore = nowNs();
    sleepMs(IDLE_SECONDS * 1000);
    const int64_t cpuAfter = cpuNs(pid);
    const double idleWall = static_cast<double>(nowNs() - wallBefore) / 1e6;
    if (cpuBefore < 0 || cpuAfter < 0) {
        printf("the client's processor time cannot be read here (no /proc/PID/schedstat)\n");
    } else {
        const double idleCpu = static_cast<double>(cpuAfter - cpuBefore) / 1e6;
        printf("connected and idle for %.0f ms: client processor time %.3f ms (%.4f%% of a core)\n", idleWall, idleCpu,
               100.0 * idleCpu / idleWall);
    }

    const double first = noteToFirstSample(sock, client);
    printf("first note (opens the speaker): datagram sent to first sample written %.3f ms\n", first);
    std::vector<double> delays;
    for (int i = 0; i < NOTES; i++) {
        const double delay = noteToFirstSample(sock, client);
        if (delay >= 0) delays.push_back(delay);
    }
    std::sort(delays.begin(), delays.end());
    if (!delays.empty()) {
        printf(
            "later notes: datagram sent to first sample written: min %.3f ms, median %.3f ms, "
            "max %.3f ms (%zu of %d notes)\n",
            delays.front(), delays[delays.size() / 2], delays.back(), delays.size(), NOTES);
    } else {
        printf("no note reached ALSA (a PC speaker device would take the tones instead)\n");
    }

    send(sock, serverByeMessage(), client);
    int status = 0;
    waitpid(pid, &status, 0);
    printf("client ended with status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
