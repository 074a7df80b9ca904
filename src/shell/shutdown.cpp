#include "shell/shutdown.h"

#include <unistd.h>
#include <cstdio>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include "live/rtp_midi_listener.h"
#include "net/socket.h"
#include "platform/console.h"
#include "platform/speaker.h"
#include "schedule/note_schedule.h"
#include "server/client_table.h"
#include "shell/run_state.h"
#include "web/web_room.h"

void shutdownAndExit(int status) {
    restoreTerminal();
    if (runState.isServer) {
        // The live players' sessions end first, so that no note comes in after the good-bye.
        stopRtpMidiListener();
        for (const ClientSlot &slot : clientTable.slots) {
            if (slot.inUse) sendMessage(serverByeMessage(), slot.address);
        }
        stopWebRoom();
    } else {
        // Before any datagram arrived the address is all zero and the send fails harmlessly.
        sendMessage(clientDisconnectMessage(runState.ownId), runState.serverAddress);
    }
    closeSpeaker();
    freeSchedule();
    if (runState.socket->getHandle() != -1) runState.socket->close();
    delete runState.socket;
    runState.socket = nullptr;
    printf("Quit.\n");
    // Exit-time handlers do not run, so whatever is still buffered must go out now.
    fflush(stdout);
    fflush(stderr);
#ifdef __SANITIZE_ADDRESS__
    // _exit skips the sanitizer's exit-time leak check, so it is made here; a leak ends the run with
    // the sanitizer's failure status instead of 0.
    __lsan_do_leak_check();
#endif
    _exit(status);
}
