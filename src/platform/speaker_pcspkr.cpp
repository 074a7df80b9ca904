
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/speaker_backend.h"

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

// The device whose tone is sounding, or -1.
volatile sig_atomic_t soundingDevice = -1;

// The speaker keeps sounding after the process has gone, so a signal that ends the process in
// the middle of a tone silences it first and then takes its usual course.
void silenceThenDie(int signalNumber) {
    const int device = soundingDevice;
    if (device >= 0) sendTone(device, 0);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void silenceOnFatalSignals() {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction current;
        // A signal the process already ignores or handles is left as it is.
        if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction silence = {};
        silence.sa_handler = silenceThenDie;
        sigemptyset(&silence.sa_mask);
        sigaction(signalNumber, &silence, nullptr);
    }
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
    if (device >= 0) silenceOnFatalSignals();
    return device;
}

void playPcSpeakerTone(int device, int frequency, int milliseconds) {
    const Deadline deadline = deadlineAfterMs(milliseconds);
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

const SpeakerBackend PC_SPEAKER = {openSystemPcSpeaker, playOnSystemPcSpeaker, nullptr, nullptr};
