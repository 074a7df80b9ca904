#include <windows.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/speaker_backend.h"

namespace {
// Beep as a PC runs it holds its thread for the whole tone (under Wine it returns at once).
BOOL WINAPI holdingBeep(DWORD, DWORD milliseconds) {
    return Sleep(milliseconds), TRUE;
}
DWORD WINAPI stopSoon(LPVOID) {
    return Sleep(200), requestStop(), 0;
}
}  // namespace

// In a process of its own, since the stop stays asked for.
TEST(BeepThreadDeathTest, AStopEndsTheWaitForALongToneAtOnce) {
    EXPECT_EXIT(
        {
            watchStopSignals();
            CloseHandle(CreateThread(nullptr, 0, stopSoon, nullptr, 0, nullptr));
            const int64_t started = monotonicNanos();
            playToneOnItsThread(holdingBeep, 440, 20000);
            std::_Exit(monotonicNanos() - started < NANOS_PER_SECOND ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}
