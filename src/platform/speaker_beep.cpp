#include <windows.h>

#include "platform/clock.h"
#include "platform/speaker_backend.h"

namespace {

// The kernel's call is there on every Windows.
bool openBeep() {
    return true;
}

void playBeep(int frequency, int milliseconds) {
    const Deadline toneEnd = deadlineAfterMs(milliseconds);
    Beep(static_cast<DWORD>(frequency), static_cast<DWORD>(milliseconds));
    // Where Beep returns before the tone's end (no device to sound it, or Wine), the tone's time
    // is kept all the same.
    sleepUntil(toneEnd);
}

}  // namespace

const SpeakerBackend BEEP_SPEAKER = {openBeep, playBeep, nullptr, nullptr};
