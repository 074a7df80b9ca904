#include "shell/command_line.h"

#include <cstdio>
#include <cstring>

#include "client/client.h"
#include "net/protocol.h"
#include "platform/clock.h"
#include "platform/speaker.h"
#include "server/server.h"
#include "shell/long_options.h"
#include "shell/run_state.h"
#include "shell/shutdown.h"

int findArg(const char *option, int argc, char **argv) {
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], option) == 0) return i;
    }
    return 0;
}

void printUsage() {
    printf("usage: tonecast -args\n");
    printf("\n");
    printf(" -s midifile.mid    Run server, load the MIDI file\n");
    printf(" -c                 Run client\n");
    printf(" -w                 Server: wait until \"activate\" is sent using -a argument\n");
    printf(" -a                 Sends \"activate\" to server\n");
    printf(" -t                 Test the PC speaker\n\n");
}

namespace {

// Long enough for a note to ride out the stalls of a busy Wi-Fi link (up to 120 ms) and reach a
// client before it is due.
constexpr int32_t DEFAULT_LEAD_MS = 150;

void runServerMode(int argc, char **argv, int serverArg) {
    if (serverArg + 1 >= argc) {
        printf("Invalid MIDI file.\n");
        shutdownAndExit();
    }
    if (!readServerOptions(argc, argv, serverArg + 1)) shutdownAndExit(BAD_OPTION_STATUS);
    runState.midiPath = argv[serverArg + 1];
    printf("Running as server\n");
    if (findArg("-w", argc, argv)) {
        runState.playbackActive = 0;
        printf("Server waiting... use tonecast -a to begin.\n");
    }
    runServerLoop();
    shutdownAndExit();
}

}  // namespace

int runTonecast(int argc, char **argv) {
    runState.startTime = startClock();
    watchStopSignals();
    runState.playbackActive = 1;
    runState.leadMs = DEFAULT_LEAD_MS;
    runState.protocolVersion = CONCERT_PROTOCOL_VERSION;
    printf("tonecast 1.0 - MIDI songs played as single tones across networked PCs\n");
    if (netInit() != 0) {
        printf("netInit error\n");
        fflush(stdout);
        return 0;
    }
    runState.socket = new netSocket();
    runState.socket->open(false);
    runState.socket->setBlocking(false);

    if (findArg("-t", argc, argv)) {
        beep(500, 500);
        fflush(nullptr);
        shutdownAndExit();
    }
    if (int serverArg = findArg("-s", argc, argv)) runServerMode(argc, argv, serverArg);
    if (findArg("-a", argc, argv)) {
        runActivateSender();
        shutdownAndExit();
    }
    if (findArg("-c", argc, argv)) {
        if (!readClientOptions(argc, argv)) shutdownAndExit(BAD_OPTION_STATUS);
        printf("Running as client\n");
        runClientLoop();
        shutdownAndExit();
    }
    printUsage();
    shutdownAndExit();
}
