#include "net/client_wait.h"

#include <poll.h>

#include "shell/run_state.h"

void waitForDatagram(int milliseconds) {
    pollfd socketReady = {runState.socket->getHandle(), POLLIN, 0};
    // An interrupted or failed wait only costs one more pass of the loop, which waits again.
    (void)poll(&socketReady, 1, milliseconds);
}
