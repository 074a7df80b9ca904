#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <initializer_list>

#include "platform/clock.h"
#include "platform/stop_signal_linux.h"

namespace {

timespec timespecOf(int64_t nanos) {
    return {static_cast<time_t>(nanos / NANOS_PER_SECOND), static_cast<long>(nanos % NANOS_PER_SECOND)};
}

// A stop signal only sets a flag and puts a byte in a pipe that every wait watches, so a wait that
// begins just after the signal still ends at once. The signals are handled with SA_RESTART: a
// write to a stalled pipe or terminal carries on after the first stop (and no output is cut), and
// a second stop then ends the process with the signal's default action, as shells and daemons do.
const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t stopSignalCame = 0;
sigset_t stopSignals;  // those of them that are watched: not ignored from the start
int stopPipe[2] = {-1, -1};

// Written by wakeSocketWait, read empty by the wait it ends: a counter, so wakes never pile up.
int socketWake() {
    static const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return wake;
}

void recordStop(int signalNumber) {
    if (stopSignalCame) {
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);  // delivered as this handler returns
        return;
    }
    requestStop();
}

void handleStopSignals(int flags) {
    struct sigaction record = {};
    record.sa_handler = recordStop;
    record.sa_flags = flags;
    sigemptyset(&record.sa_mask);
    for (int signalNumber : STOP_SIGNALS) {
        if (sigismember(&stopSignals, signalNumber) == 1) sigaction(signalNumber, &record, nullptr);
    }
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

int64_t bootNanos() {
    return nanosOn(CLOCK_BOOTTIME);
}

int32_t uptimeMs() {
    return static_cast<int32_t>(static_cast<uint32_t>(bootNanos() / NANOS_PER_MILLI));
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
    // ppoll rather than poll: its timeout is not rounded up to whole milliseconds.
    pollfd stop = {stopPipe[0], POLLIN, 0};
    (void)ppoll(&stop, 1, &timeout, nullptr);
}

void waitForSocket(int socketHandle, int64_t nanos) {
    if (stopRequested() || nanos == 0) return;
    pollfd ready[4] = {{socketHandle, POLLIN, 0},
                       {stopPipe[0], POLLIN, 0},
                       {socketWake(), POLLIN, 0},
                       {waitTimer(), POLLIN, 0}};
    nfds_t count = 3;
    if (nanos > 0) {
        const itimerspec end = {{0, 0}, timespecOf(nanosOn(CLOCK_BOOTTIME) + nanos)};
        if (ready[3].fd >= 0 && timerfd_settime(ready[3].fd, TFD_TIMER_ABSTIME, &end, nullptr) == 0) count = 4;
    }
    // ppoll's own timeout only where the host has no such timer.
    const timespec timeout = timespecOf(nanos);
    const timespec *limit = nanos < 0 || count == 4 ? nullptr : &timeout;
    // An interrupted or failed wait only costs one more pass of the loop, which waits again.
    (void)ppoll(ready, count, limit, nullptr);
    uint64_t wakes = 0;
    if ((ready[2].revents & POLLIN) != 0) (void)read(socketWake(), &wakes, sizeof wakes);
}

void wakeSocketWait() {
    const uint64_t one = 1;
    (void)write(socketWake(), &one, sizeof one);
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

void stopUntilContinued(int signalNumber) {
    struct sigaction stop = {}, handler = {};
    stop.sa_handler = SIG_DFL;
    sigaction(signalNumber, &stop, &handler);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signalNumber);  // stops here until SIGCONT
    // raise() returns once SIGCONT has come: SIGTSTP stops the process rather than ending it.
    // cppcheck-suppress unreachableCode
    sigaction(signalNumber, &handler, nullptr);
}

void watchStopSignals() {
    // A reader that has gone makes a write fail with EPIPE instead of killing the process.
    signal(SIGPIPE, SIG_IGN);
    if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) stopPipe[0] = stopPipe[1] = -1;
    sigemptyset(&stopSignals);
    for (int signalNumber : STOP_SIGNALS) {
        struct sigaction current;
        // A signal ignored from the start (as under nohup) stays ignored.
        if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaddset(&stopSignals, signalNumber);
        }
    }
    handleStopSignals(SA_RESTART);
}

void requestStop() {
    stopSignalCame = 1;
    const int savedErrno = errno;
    const ssize_t written = write(stopPipe[1], "", 1);
    (void)written;
    errno = savedErrno;
}

bool stopRequested() {
    return stopSignalCame != 0;
}

void letStopsInterruptAnything(bool anything) {
    // Without SA_RESTART a blocking open or read fails with EINTR at the first stop.
    handleStopSignals(anything ? 0 : SA_RESTART);
}
