#include <windows.h>

#include <cstdint>

#include "platform/clock.h"
#include "platform/speaker_backend.h"

namespace {

// How long a tone's end waits for Beep to return, so that two tones never overlap.
constexpr DWORD BEEP_OVERRUN_MS = 100;

// The kernel's call is there on every Windows.
bool openBeep() {
    return true;
}

// The tone travels to its thread as one number: frequency (up to 20000 Hz) above, length below.
DWORD WINAPI soundBeep(LPVOID tone) {
    const auto packed = reinterpret_cast<uintptr_t>(tone);
    Beep(static_cast<DWORD>(packed >> 16), static_cast<DWORD>(packed & 0xFFFF));
    return 0;
}

// Beep returns only when its tone has ended, and tones last up to 32.767 s: it sounds on a thread
// of its own while this one waits for the tone's end or a stop, so that a stop (or a closed
// window, after which Windows ends the process within seconds) is never held by a tone.
void playBeep(int frequency, int milliseconds) {
    const Deadline toneEnd = deadlineAfterMs(milliseconds);
    const uintptr_t tone = static_cast<uintptr_t>(frequency) << 16 | static_cast<uintptr_t>(milliseconds);
    HANDLE sounding = CreateThread(nullptr, 0, soundBeep, reinterpret_cast<LPVOID>(tone), 0, nullptr);
    if (sounding == nullptr) soundBeep(reinterpret_cast<LPVOID>(tone));
    // Where Beep returns before the tone's end (no device to sound it, or Wine), the tone's time
    // is kept all the same.
    sleepUntil(toneEnd);
    if (sounding == nullptr) return;
    // After a stop the tone may go on until the process ends, a moment later.
    if (!stopRequested()) WaitForSingleObject(sounding, BEEP_OVERRUN_MS);
    CloseHandle(sounding);
}

}  // namespace

const SpeakerBackend BEEP_SPEAKER = {openBeep, playBeep, nullptr, nullptr};
