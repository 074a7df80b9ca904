// The host's side of time and waiting on Windows: the multimedia timer, sleeps on a waitable timer
// and waits on the socket's event, each of which the console's Ctrl+C (or a closed window) ends.
// Windows' headers depend on their order: each block needs the one before it.
#include <winsock2.h>

#include <windows.h>

#include <mmsystem.h>

#include "platform/clock.h"

namespace {

constexpr int64_t NANOS_PER_TIMER_TICK = 100;  // a waitable timer counts in 100 ns units
// Windows 10 1803 and later; mingw-w64's headers do not name it yet.
constexpr DWORD CREATE_WAITABLE_TIMER_HIGH_RESOLUTION_FLAG = 0x00000002;

// Set by the console's control handler, which Windows runs on a thread of its own; the event
// ends any wait at once.
volatile LONG stopCame = 0;
HANDLE stopEvent = nullptr;

// Set by wakeSocketWait; an auto-reset event, so the wait it ends clears it.
HANDLE socketWake() {
    static const HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return wake;
}

BOOL WINAPI recordStop(DWORD event) {
    // A second Ctrl+C or Ctrl+Break goes to Windows' own handler, which ends the process at once.
    if (stopCame != 0 && (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)) return FALSE;
    requestStop();
    // After a closed window (or a log-off) Windows ends the process as soon as the handler
    // returns: waiting here lets the shutdown sequence run and end it first.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(INFINITE);
    return TRUE;
}

// One timer for every wait of the process; of high resolution where Windows has one (10 1803 and
// later), so that a wait can end within the millisecond rather than at the next timer tick.
HANDLE waitTimer() {
    static const HANDLE timer = [] {
        HANDLE precise =
            CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION_FLAG, TIMER_ALL_ACCESS);
        return precise != nullptr ? precise : CreateWaitableTimerW(nullptr, FALSE, nullptr);
    }();
    return timer;
}

// Waits until the object (if any) is signalled, the nanoseconds have passed (less than 0: no
// limit) or a stop is requested.
void waitForObject(HANDLE object, int64_t nanos, HANDLE other = nullptr) {
    HANDLE handles[4];
    DWORD count = 0;
    if (object != nullptr) handles[count++] = object;
    if (other != nullptr) handles[count++] = other;
    if (stopEvent != nullptr) handles[count++] = stopEvent;
    if (nanos >= 0) {
        // Negative: relative to now.
        LARGE_INTEGER due;
        due.QuadPart = -(nanos / NANOS_PER_TIMER_TICK);
        if (due.QuadPart == 0) return;
        SetWaitableTimer(waitTimer(), &due, 0, nullptr, nullptr, FALSE);
        handles[count++] = waitTimer();
    }
    if (count == 0) return;
    (void)WaitForMultipleObjects(count, handles, FALSE, INFINITE);
}

}  // namespace

int64_t monotonicNanos() {
    static const int64_t ticksPerSecond = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<int64_t>(frequency.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const int64_t ticks = now.QuadPart;
    return ticks / ticksPerSecond * NANOS_PER_SECOND + ticks % ticksPerSecond * NANOS_PER_SECOND / ticksPerSecond;
}

int64_t bootNanos() {
    // The performance counter already counts the time the machine sleeps or hibernates.
    return monotonicNanos();
}

uint32_t platformMillis() {
    // Windows' timer ticks every 15.6 ms unless asked otherwise: a 1 ms period, asked for at the
    // clock's first reading and kept for the rest of the run, makes the clock and every wait fine
    // to the millisecond.
    static const MMRESULT periodSet = timeBeginPeriod(1);
    (void)periodSet;
    return timeGetTime();
}

int32_t uptimeMs() {
    // The tick count goes on while the machine sleeps.
    return static_cast<int32_t>(static_cast<uint32_t>(GetTickCount64()));
}

int64_t nanosUntilMillis(uint32_t millis) {
    const int32_t ahead = static_cast<int32_t>(millis - platformMillis());
    if (ahead <= 0) return 0;
    // timeGetTime tells no fraction of its millisecond: waiting whole ones ends the wait within
    // the given millisecond, never before it.
    return static_cast<int64_t>(ahead) * NANOS_PER_MILLI;
}

void sleepAtMost(int64_t nanos) {
    waitForObject(nullptr, nanos);
}

void waitForSocket(int socketHandle, int64_t nanos) {
    if (stopRequested()) return;
    static const HANDLE datagramWaits = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // The event is set whenever a datagram waits (again after each receive that leaves more).
    WSAEventSelect(static_cast<SOCKET>(socketHandle), datagramWaits, FD_READ);
    waitForObject(datagramWaits, nanos, socketWake());
}

void wakeSocketWait() {
    SetEvent(socketWake());
}

void setEmptyBroadcastOption(int socketHandle) {
    (void)setsockopt(static_cast<SOCKET>(socketHandle), SOL_SOCKET, SO_BROADCAST, nullptr, 0);
}

void requestPreciseWakeups() {
    // Already so for every run: see platformMillis.
}

void watchStopSignals() {
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(recordStop, TRUE);
}

void requestStop() {
    InterlockedExchange(&stopCame, 1);
    SetEvent(stopEvent);
}

bool stopRequested() {
    return stopCame != 0;
}

void letStopsInterruptAnything(bool) {
    // The console's handler runs on a thread of its own and only sets the flag, which needs no
    // letting in: a long read sees it at its next byte.
}
