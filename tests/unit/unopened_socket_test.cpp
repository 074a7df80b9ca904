// A socket that failed to open (the process ran out of descriptors) must make the program fail
// the way any unusable socket does, not abort it inside the socket library.
#include <gtest/gtest.h>

#include "net/protocol.h"
#include "net/socket.h"
#include "shell/run_state.h"
#include "shell/shutdown.h"

TEST(UnopenedSocketDeathTest, BindFailsAndSendsGoNowhereUpToAQuietShutdown) {
    EXPECT_EXIT(
        {
            runState.socket = new netSocket();  // never opened
            if (bindSocket(0)) abort();
            runActivateSender();
            sendConnectBroadcast(1);
            shutdownAndExit();
        },
        testing::ExitedWithCode(0), "");
}
