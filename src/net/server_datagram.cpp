#include "net/server_datagram.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "net/client_table.h"
#include "net/protocol.h"
#include "net/server_time.h"
#include "shell/run_state.h"

namespace {

// The first song of a waiting server starts with the first activate; later ones change nothing.
void activate() {
    if (runState.playbackActive) return;
    printf("SV: got activate\n");
    fflush(stdout);
    runState.playbackActive = 1;
    startSongNow();
}

}  // namespace

void handleServerDatagram(const uint8_t *bytes, int length, const netAddress &sender) {
    if (length < 1) return;
    // Classification reads words 0 and 1 at most; a shorter datagram reads as if zero-padded.
    uint8_t fields[4] = {};
    memcpy(fields, bytes, static_cast<size_t>(std::min(length, static_cast<int>(sizeof fields))));
    switch (classifyServerDatagram(fields)) {
    case ServerRequest::Connect:
        registerClient(sender);
        break;
    case ServerRequest::Activate:
        activate();
        break;
    case ServerRequest::Disconnect:
        releaseClient(readWord(fields, 0), sender);
        break;
    case ServerRequest::Other:
        break;
    }
}
