#include <windows.h>

#include "platform/clock.h"
#include "platform/speaker_backend.h"

namespace {

// How long a tone's end waits for the tone call to return, so that two tones never overlap.
constexpr DWORD TONE_OVERRUN_MS = 100;

struct Tone {
    ToneCall call;
    int frequency;
    int milliseconds;
};

DWORD WINAPI soundTone(LPVOID tone) {
    const Tone sounding = *static_cast<Tone *>(tone);
    delete static_cast<Tone *>(tone);
    sounding.call(static_cast<DWORD>(sounding.frequency), static_cast<DWORD>(sounding.milliseconds));
    return 0;
}

}  // namespace

// Beep returns only when its tone has ended, and tones last up to 32.767 s: it sounds on a thread
// of its own while this one waits for the tone's end or a stop, so that a stop (or a closed
// window, after which Windows ends the process within seconds) is never held by a tone.
void playToneOnItsThread(ToneCall call, int frequency, int milliseconds) {
    const Deadline toneEnd = deadlineAfterMs(milliseconds);
    auto *tone = new Tone{call, frequency, milliseconds};
    HANDLE sounding = CreateThread(nullptr, 0, soundTone, tone, 0, nullptr);
    if (sounding == nullptr) soundTone(tone);
    // Where the call returns before the tone's end (Beep with no device to sound it, or under
    // Wine), the tone's time is kept all the same.
    sleepUntil(toneEnd);
    if (sounding == nullptr) return;
    // After a stop the tone may go on until the process ends, a moment later.
    if (!stopRequested()) WaitForSingleObject(sounding, TONE_OVERRUN_MS);
    CloseHandle(sounding);
}

namespace {

// The kernel's call is there on every Windows.
bool openBeep() {
    return true;
}

void playBeep(int frequency, int milliseconds) {
    playToneOnItsThread(Beep, frequency, milliseconds);
}

}  // namespace

const SpeakerBackend BEEP_SPEAKER = {openBeep, playBeep, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
