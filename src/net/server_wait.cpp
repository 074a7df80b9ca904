#include "net/server_wait.h"

#include <poll.h>
#include <sys/prctl.h>

#include "net/server_time.h"
#include "schedule/note_schedule.h"
#include "shell/run_state.h"

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
}
