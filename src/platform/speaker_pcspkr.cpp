
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/speaker_backend.h"
#include "platform/stop_signal_linux.h"

namespace {

bool isSpeakerEntry(const char *name) {
    const char SPEAKER_SUFFIX[] = "-event-spkr";
    const size_t length = strlen(name);
    const size_t suffixLength = sizeof SPEAKER_SUFFIX - 1;
    return length > suffixLength && strcmp(name + length - suffixLength, SPEAKER_SUFFIX) == 0;
}

// The kernel's speaker driver takes a tone as one sound event; a frequency of 0 silences it.
// Safe in a signal handler.
void sendTone(int device, int frequency) {
    input_event event = {};
    event.type = EV_SND;
    event.code = SND_TONE;
    event.value = frequency;
    // A failed write leaves the speaker as it was; the tone is still timed by the caller.
    ssize_t written = write(device, &event, sizeof event);
    (void)written;
}

// The tone that is sounding: its device (or -1), its frequency and the monotonic nanosecond at
// which it ends; the device is set last, so a handler that sees it sees the rest.
volatile sig_atomic_t soundingDevice = -1;
volatile sig_atomic_t soundingFrequency = 0;
volatile int64_t soundingUntil = 0;

// The speaker keeps sounding after the process has gone, so a signal that ends the process in
// the middle of a tone silences it first and then takes its usual course.
void silenceThenDie(int signalNumber) {
    const int device = soundingDevice;
    if (device >= 0) sendTone(device, 0);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// Nor may it drone while the process is stopped (Ctrl-Z): silenced first, the tone sounds again
// once the process goes on, if it is still due.
void silenceThenStop(int signalNumber) {
    const int savedErrno = errno;
    const int device = soundingDevice;
    if (device >= 0) sendTone(device, 0);
    stopUntilContinued(signalNumber);
    if (device >= 0 && soundingDevice == device && monotonicNanos() < soundingUntil) {
        sendTone(device, soundingFrequency);
    }
    errno = savedErrno;
}

void handleWhileDefault(int signalNumber, void (*handler)(int)) {
    struct sigaction current;
    // A signal the process already ignores or handles is left as it is.
    if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
    struct sigaction silence = {};
    silence.sa_handler = handler;
    sigemptyset(&silence.sa_mask);
    sigaction(signalNumber, &silence, nullptr);
}

void silenceOnSignals() {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGABRT}) {
        handleWhileDefault(signalNumber, silenceThenDie);
    }
    handleWhileDefault(SIGTSTP, silenceThenStop);
}

}  // namespace

int openPcSpeaker(const char *directory) {
    DIR *entries = opendir(directory);
    if (!entries) return -1;
    int device = -1;
    while (device < 0) {
        const dirent *entry = readdir(entries);
        if (!entry) break;
        if (!isSpeakerEntry(entry->d_name)) continue;
        const std::string path = std::string(directory) + "/" + entry->d_name;
        device = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    }
    closedir(entries);
    if (device >= 0) silenceOnSignals();
    return device;
}

void playPcSpeakerTone(int device, int frequency, int milliseconds) {
    const Deadline deadline = deadlineAfterMs(milliseconds);
    soundingFrequency = frequency;
    soundingUntil = deadline.nanos;
    soundingDevice = device;
    sendTone(device, frequency);
    sleepUntil(deadline);
    sendTone(device, 0);
    soundingDevice = -1;
}

namespace {

int pcSpeakerDevice = -1;

bool openSystemPcSpeaker() {
    pcSpeakerDevice = openPcSpeaker(PC_SPEAKER_DIRECTORY);
    return pcSpeakerDevice >= 0;
}

void playOnSystemPcSpeaker(int frequency, int milliseconds) {
    playPcSpeakerTone(pcSpeakerDevice, frequency, milliseconds);
}

}  // namespace

const SpeakerBackend PC_SPEAKER = {
    openSystemPcSpeaker, playOnSystemPcSpeaker, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
