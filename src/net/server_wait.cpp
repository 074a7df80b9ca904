#include "net/server_wait.h"

#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "net/server_time.h"
#include "schedule/note_schedule.h"
#include "shell/run_state.h"

namespace {
// The kernel's sched_attr, first version; the C library of the build machine does not declare it.
struct SchedulerAttributes {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;  // for the fair class: the time slice asked for, in ns
    uint64_t deadline;
    uint64_t period;
};
}  // namespace

void waitForDatagramOrNote() {
    timespec timeout = {0, 0};
    const timespec *limit = &timeout;
    if (!runState.playbackActive) {
        limit = nullptr;  // only an activate datagram can start anything
    } else if (!scheduleIsEmpty()) {
        int64_t nanos = nanosUntilSongPosition(noteSchedule.head->start);
        timeout.tv_sec = static_cast<time_t>(nanos / 1000000000);
        timeout.tv_nsec = static_cast<long>(nanos % 1000000000);
    }
    // ppoll rather than poll: its timeout is not rounded up to whole milliseconds.
    pollfd socketReady = {runState.socket->getHandle(), POLLIN, 0};
    // An interrupted or failed wait only costs one more pass of the loop, which waits again.
    (void)ppoll(&socketReady, 1, limit, nullptr);
}

void requestPreciseWakeups() {
    // The default slack lets the kernel defer a wakeup by 50 us to batch it with others.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // A short time slice lets the woken server take the processor from a busy neighbour at once
    // rather than at its next scheduler tick, milliseconds later. It needs no privilege; kernels
    // without custom slices refuse or ignore it, and the server then just runs as before.
    SchedulerAttributes attributes = {};
    attributes.size = sizeof attributes;
    attributes.policy = SCHED_OTHER;
    attributes.runtime = 100000;  // the shortest slice the kernel grants
    (void)syscall(SYS_sched_setattr, 0, &attributes, 0);
}
