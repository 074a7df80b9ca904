// Times the ALSA speaker with ALSA's file device writing into a pipe: how long after the tone call
// the first samples come out, how long the call lasts against the tone's length, and how much
// processor time the call takes while the tone plays.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/speaker_backend.h"
#include "platform/speaker_wave.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int TONES = 20;
constexpr int TONE_MS = 50;
constexpr size_t MAX_READS = 1 << 16;

// When each read of the pipe returned: the first read after a call marks its first samples.
Clock::time_point readTimes[MAX_READS];
std::atomic<size_t> readCount{0};

void readPipe(const std::string &path) {
    const int pipe = open(path.c_str(), O_RDONLY);
    if (pipe < 0) return;
    static char buffer[1 << 16];
    while (read(pipe, buffer, sizeof buffer) > 0) {
        const size_t index = readCount.load();
        if (index == MAX_READS) break;
        readTimes[index] = Clock::now();
        readCount.store(index + 1);
    }
    close(pipe);
}

double timevalMs(const timeval &t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
}

double threadCpuMs() {
    rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return timevalMs(usage.ru_utime) + timevalMs(usage.ru_stime);
}

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void printSpread(const char *what, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    printf("%s: min %.3f ms, median %.3f ms, max %.3f ms (%zu calls)\n", what, values.front(),
           values[values.size() / 2], values.back(), values.size());
}

}  // namespace

int main() {
    char directory[] = "/tmp/tonecast-bench-XXXXXX";
    if (!mkdtemp(directory)) return 1;
    const std::string home = directory;
    const std::string pipePath = home + "/tones.fifo";
    if (mkfifo(pipePath.c_str(), 0600) != 0) return 1;
    FILE *config = fopen((home + "/.asoundrc").c_str(), "w");
    if (!config) return 1;
    fprintf(config, "pcm.!default { type file; slave.pcm \"null\"; file \"%s\"; format \"raw\" }\n", pipePath.c_str());
    fclose(config);
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("ALSA_CONFIG_PATH");

    std::thread reader(readPipe, pipePath);
    const Clock::time_point openStart = Clock::now();
    if (!ALSA_SPEAKER.open()) {
        fprintf(stderr, "ALSA's file device did not open\n");
        return 1;
    }
    printf("opening the PCM (first tone only): %.3f ms\n", msBetween(openStart, Clock::now()));

    std::vector<Clock::time_point> calls;
    std::vector<double> lasted, cpu;
    for (int i = 0; i < TONES; i++) {
        const double cpuBefore = threadCpuMs();
        calls.push_back(Clock::now());
        ALSA_SPEAKER.play(500, TONE_MS);
        lasted.push_back(msBetween(calls.back(), Clock::now()));
        cpu.push_back(threadCpuMs() - cpuBefore);
    }
    std::vector<double> firstSamples;
    size_t read = 0;
    for (const Clock::time_point &call : calls) {
        while (read < readCount.load() && readTimes[read] < call) read++;
        if (read < readCount.load()) firstSamples.push_back(msBetween(call, readTimes[read]));
    }
    printSpread("call to first samples out of the device", firstSamples);
    printSpread("call length for a 50 ms tone", lasted);
    printSpread("processor time of one 50 ms call", cpu);

    const double cpuBefore = threadCpuMs();
    const Clock::time_point longStart = Clock::now();
    ALSA_SPEAKER.play(500, 2000);
    const double longLasted = msBetween(longStart, Clock::now());
    const double longCpu = threadCpuMs() - cpuBefore;
    printf("2000 ms tone: call lasted %.3f ms, processor time %.3f ms (%.3f%% of the call)\n", longLasted, longCpu,
           100.0 * longCpu / longLasted);

    static int16_t second[SPEAKER_RATE];
    const Clock::time_point waveStart = Clock::now();
    fillSquareWave({440, SPEAKER_RATE}, 0, second, SPEAKER_RATE);
    printf("making 1 s of wave: %.3f ms\n", msBetween(waveStart, Clock::now()));

    // The reader ends with the process; the pipe and its directory go with a clean-up here.
    reader.detach();
    unlink(pipePath.c_str());
    unlink((home + "/.asoundrc").c_str());
    rmdir(directory);
    fflush(stdout);
    _exit(0);
}
