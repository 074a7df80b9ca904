#include "net/client_datagram.h"

#include <cstdio>

#include "net/key_frequency.h"
#include "net/protocol.h"
#include "platform/speaker.h"
#include "shell/run_state.h"
#include "shell/shutdown.h"

namespace {

void takeId(int16_t id) {
    printf("Connected! Got id: %d\n", id);
    // Shown at once even when the output is a pipe, as a watching program waits for this line.
    fflush(stdout);
    runState.ownId = id;
    runState.connected = 1;
}

void playNote(int16_t key, int16_t length) {
    // The speaker refuses, at once, a length of 0 or less (a foreign sender's or a note shorter
    // than the server's margin) and a key whose frequency it cannot play.
    beep(keyToFrequency(key), length);
    fflush(nullptr);
}

}  // namespace

void actOnServerDatagram(const uint8_t *buffer) {
    switch (readWord(buffer, 0)) {
        case MSG_ASSIGN_ID:
            takeId(readWord(buffer, 1));
            break;
        case MSG_NOTE:
            playNote(readWord(buffer, 1), readWord(buffer, 2));
            break;
        case MSG_BYE:
            printf("Server quit.\n");
            shutdownAndExit();
        default:
            break;
    }
}
