#include "platform/speaker.h"

#include "platform/clock.h"
#include "platform/speaker_backend.h"

namespace {

// In order of preference. Silence comes last and always opens.
#ifdef _WIN32
const SpeakerBackend *const BACKENDS[] = {&BEEP_SPEAKER, &SILENT_SPEAKER};
#else
const SpeakerBackend *const BACKENDS[] = {&PC_SPEAKER, &ALSA_SPEAKER, &SILENT_SPEAKER};
#endif

const SpeakerBackend *chosenBackend = nullptr;

const SpeakerBackend *chooseBackend() {
    for (const SpeakerBackend *backend : BACKENDS) {
        if (backend->open()) return backend;
    }
    return &SILENT_SPEAKER;
}

}  // namespace

bool isPlayableTone(int frequency, int milliseconds) {
    return frequency >= 20 && frequency <= 20000 && milliseconds > 0;
}

void prepareSpeaker() {
    if (chosenBackend == nullptr) chosenBackend = chooseBackend();
}

void beep(int frequency, int milliseconds) {
    if (!isPlayableTone(frequency, milliseconds)) return;
    prepareSpeaker();
    chosenBackend->play(frequency, milliseconds);
}

void beepAt(int frequency, int milliseconds, int64_t startNanos) {
    const int64_t end = startNanos + milliseconds * NANOS_PER_MILLI;
    if (!isPlayableTone(frequency, milliseconds) || end <= monotonicNanos()) return;
    prepareSpeaker();
    if (chosenBackend->playAt != nullptr) {
        chosenBackend->playAt(frequency, milliseconds, startNanos);
        return;
    }
    sleepUntil({startNanos});
    const int64_t lateMs = (monotonicNanos() - startNanos) / NANOS_PER_MILLI;
    if (!stopRequested() && lateMs < milliseconds)
        chosenBackend->play(frequency, milliseconds - static_cast<int>(lateMs));
}

bool moveToneEnd(int64_t endNanos) {
    return chosenBackend != nullptr && chosenBackend->moveEnd != nullptr && chosenBackend->moveEnd(endNanos);
}

void expectTonesAhead(int64_t noticeNanos) {
    prepareSpeaker();
    if (chosenBackend->expectNotice != nullptr) chosenBackend->expectNotice(noticeNanos);
}

void silenceSpeaker() {
    if (chosenBackend != nullptr && chosenBackend->silence != nullptr) chosenBackend->silence();
}

int keepSpeakerRunning() {
    if (chosenBackend == nullptr || chosenBackend->keepRunning == nullptr) return -1;
    return chosenBackend->keepRunning();
}

void closeSpeaker() {
    if (chosenBackend != nullptr && chosenBackend->close != nullptr) chosenBackend->close();
    chosenBackend = nullptr;
}
