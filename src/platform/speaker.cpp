#include "platform/speaker.h"

#include <cstdio>

#include "platform/speaker_alsa.h"
#include "platform/speaker_pcspkr.h"
#include "platform/speaker_wait.h"

namespace {

enum class SpeakerBackend { Unchosen, PcSpeaker, Alsa, Silence };

SpeakerBackend speakerBackend = SpeakerBackend::Unchosen;
int pcSpeakerDevice = -1;

void chooseBackend() {
    pcSpeakerDevice = openPcSpeaker(kPcSpeakerDirectory);
    if (pcSpeakerDevice >= 0) {
        speakerBackend = SpeakerBackend::PcSpeaker;
    } else if (openAlsaSpeaker()) {
        speakerBackend = SpeakerBackend::Alsa;
    } else {
        speakerBackend = SpeakerBackend::Silence;
        fputs("No speaker found: tones are timed silently.\n", stderr);
    }
}

}  // namespace

bool isPlayableTone(int frequency, int milliseconds) {
    return frequency >= 20 && frequency <= 20000 && milliseconds > 0;
}

void beep(int frequency, int milliseconds) {
    if (!isPlayableTone(frequency, milliseconds)) return;
    if (speakerBackend == SpeakerBackend::Unchosen) chooseBackend();
    switch (speakerBackend) {
        case SpeakerBackend::PcSpeaker:
            playPcSpeakerTone(pcSpeakerDevice, frequency, milliseconds);
            break;
        case SpeakerBackend::Alsa:
            playAlsaTone(frequency, milliseconds);
            break;
        default:
            sleepUntil(toneDeadline(milliseconds));
            break;
    }
}
