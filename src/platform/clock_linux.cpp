#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>

#include <ctime>
#include <initializer_list>

#include "platform/clock.h"

namespace {

timespec timespecOf(int64_t nanos) {
    return {static_cast<time_t>(nanos / NANOS_PER_SECOND), static_cast<long>(nanos % NANOS_PER_SECOND)};
}

// The stop signals are blocked except while the process waits, where ppoll lets them in: a signal
// then ends the wait at once, and one that comes between two waits is still pending at the next.
const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t stopSignalCame = 0;
bool signalsWatched = false;
bool stopsInterruptAnything = false;
sigset_t waitMask;     // the mask in force during a wait: the stop signals let in
sigset_t stopSignals;  // those of them that are watched

void recordStop(int) {
    stopSignalCame = 1;
}

// The mask for ppoll: with the stop signals watched, they are let in for the wait only.
const sigset_t *maskForWait() {
    return signalsWatched ? &waitMask : nullptr;
}

int64_t nanosOn(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * NANOS_PER_SECOND + now.tv_nsec;
}

// The end of a wait, armed on CLOCK_BOOTTIME: unlike ppoll's own timeout, which the kernel restarts
// with its whole remaining time after a SIGSTOP and which stands still while the machine sleeps,
// it has passed when the process runs again. -1 if the host has none.
int waitTimer() {
    static const int timer = timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC | TFD_NONBLOCK);
    return timer;
}

}  // namespace

int64_t monotonicNanos() {
    return nanosOn(CLOCK_MONOTONIC);
}

int32_t uptimeMs() {
    return static_cast<int32_t>(static_cast<uint32_t>(nanosOn(CLOCK_BOOTTIME) / NANOS_PER_MILLI));
}

uint32_t platformMillis() {
    return static_cast<uint32_t>(monotonicNanos() / NANOS_PER_MILLI);
}

int64_t nanosUntilMillis(uint32_t millis) {
    const int64_t now = monotonicNanos();
    const int32_t ahead = static_cast<int32_t>(millis - static_cast<uint32_t>(now / NANOS_PER_MILLI));
    if (ahead <= 0) return 0;
    return static_cast<int64_t>(ahead) * NANOS_PER_MILLI - now % NANOS_PER_MILLI;
}

void sleepAtMost(int64_t nanos) {
    const timespec timeout = timespecOf(nanos);
    (void)ppoll(nullptr, 0, &timeout, maskForWait());
}

void waitForSocket(int socketHandle, int64_t nanos) {
    if (stopRequested() || nanos == 0) return;
    pollfd ready[2] = {{socketHandle, POLLIN, 0}, {waitTimer(), POLLIN, 0}};
    nfds_t count = 1;
    if (nanos > 0) {
        const itimerspec end = {{0, 0}, timespecOf(nanosOn(CLOCK_BOOTTIME) + nanos)};
        if (ready[1].fd >= 0 && timerfd_settime(ready[1].fd, TFD_TIMER_ABSTIME, &end, nullptr) == 0) count = 2;
    }
    // ppoll rather than poll: its timeout is not rounded up to whole milliseconds. It is used only
    // where the host has no such timer.
    const timespec timeout = timespecOf(nanos);
    const timespec *limit = nanos < 0 || count == 2 ? nullptr : &timeout;
    // An interrupted or failed wait only costs one more pass of the loop, which waits again.
    (void)ppoll(ready, count, limit, maskForWait());
}

void setEmptyBroadcastOption(int socketHandle) {
    // The empty value is the point: it asks to switch broadcasts off, which the kernel refuses.
    // cppcheck-suppress nullPointer
    (void)setsockopt(socketHandle, SOL_SOCKET, SO_BROADCAST, nullptr, 0);
}

void requestPreciseWakeups() {
    // The default slack lets the kernel defer a wakeup by 50 us to batch it with others.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

void watchStopSignals() {
    // A reader that has gone makes a write fail with EPIPE instead of killing the process.
    signal(SIGPIPE, SIG_IGN);
    sigemptyset(&stopSignals);
    for (int signalNumber : STOP_SIGNALS) {
        struct sigaction current;
        // A signal ignored from the start (as under nohup) stays ignored.
        if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction record = {};
        record.sa_handler = recordStop;
        sigemptyset(&record.sa_mask);
        sigaction(signalNumber, &record, nullptr);
        sigaddset(&stopSignals, signalNumber);
    }
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    for (int signalNumber : STOP_SIGNALS) sigdelset(&waitMask, signalNumber);
    signalsWatched = true;
}

bool stopRequested() {
    if (stopSignalCame) return true;
    // Blocked outside the waits, a signal that came while the process worked is still pending.
    sigset_t pending;
    if (!signalsWatched || stopsInterruptAnything || sigpending(&pending) != 0) return false;
    for (int signalNumber : STOP_SIGNALS) {
        if (sigismember(&pending, signalNumber) == 1) return true;
    }
    return false;
}

void letStopsInterruptAnything(bool anything) {
    if (!signalsWatched) return;
    // Let in, a signal that came before is delivered at once, so the flag alone tells from then on.
    stopsInterruptAnything = anything;
    sigprocmask(anything ? SIG_UNBLOCK : SIG_BLOCK, &stopSignals, nullptr);
}
