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
// Musicians notice a delay of about 20 ms between a key and its sound.
constexpr int32_t DEFAULT_LIVE_LEAD_MS = 20;
// Beside a song, clients keep 40 ms of their sound stream written ahead, so that a busy machine does
// not run it dry; a live note comes further ahead than that, to find its moment not written yet.
constexpr int32_t SONG_ROOM_LIVE_LEAD_MS = 45;

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

// A server with no song: the room plays what live players play until it is stopped.
void runLiveMode(int argc, char **argv) {
    runState.liveLeadMs = DEFAULT_LIVE_LEAD_MS;
    if (!readServerOptions(argc, argv, 0)) shutdownAndExit(BAD_OPTION_STATUS);
    runState.liveMode = 1;
    runState.playbackActive = 0;
    printf("Running as server, live\n");
    if (runState.webPort == 0 && runState.rtpMidiPort == 0) {
        printf("No live player can join: add --web for the conductor's page or --rtp-midi for RTP-MIDI.\n");
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
    runState.liveLeadMs = SONG_ROOM_LIVE_LEAD_MS;
    runState.protocolVersion = LIVE_PROTOCOL_VERSION;
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
    if (findArg("--live", argc, argv)) runLiveMode(argc, argv);
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
