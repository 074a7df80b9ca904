#include "shell/shutdown.h"

#include <cstdio>
#include <unistd.h>

#include "net/client_table.h"
#include "net/send.h"
#include "schedule/note_schedule.h"
#include "shell/run_state.h"

void shutdownAndExit() {
    if (runState.isServer) {
        for (const ClientSlot &slot : clientTable.slots) {
            if (slot.inUse) sendMessage(serverByeMessage(), slot.address);
        }
    } else {
        // Before any datagram arrived the address is all zero and the send fails harmlessly.
        sendMessage(clientDisconnectMessage(runState.ownId), runState.serverAddress);
    }
    freeSchedule();
    if (runState.socket->getHandle() != -1) runState.socket->close();
    delete runState.socket;
    runState.socket = nullptr;
    printf("Quit.\n");
    // Exit-time handlers do not run, so whatever is still buffered must go out now.
    fflush(stdout);
    fflush(stderr);
    _exit(0);
}
