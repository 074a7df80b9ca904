#include <gtest/gtest.h>

#include <climits>

#include "server/client_table.h"
#include "server/dispatch.h"
#include "server_loopback.h"

namespace {

// A note dispatched exactly when it is due.
void playAtStart(uint32_t key, int32_t start, int32_t duration) {
    dispatchNote(start, key, duration, start, start + duration);
}

}  // namespace

using ServerDispatch = LoopbackServer;

TEST_F(ServerDispatch, AGaplessMelodyStaysOnOneClientWhileOthersAreIdle) {
    auto peers = registeredPeers(3);
    // Leaps and repeats included; each note starts where the last one ended.
    const int keys[] = {60, 62, 120, 120, 1, 64};
    int32_t start = 0;
    std::vector<Datagram> expected;
    for (int key : keys) {
        playAtStart(key, start, 250);
        expected.push_back(note(key, 230));
        start += 250;
    }
    EXPECT_EQ(peers[0]->received(), expected);
    EXPECT_TRUE(peers[1]->received().empty());
    EXPECT_TRUE(peers[2]->received().empty());

    // After a rest the line is broken; too short a rest for the melody's client to be idle.
    playAtStart(64, start + 5, 250);
    EXPECT_TRUE(peers[0]->received().empty());
    EXPECT_EQ(peers[1]->received(), std::vector<Datagram>{note(64, 230)});
}

TEST_F(ServerDispatch, TheNearestPreviousKeyWinsAndTiesGoToTheLowerSlot) {
    auto peers = registeredPeers(4);
    auto lastNote = [](int slot, uint32_t key, int32_t end) {
        clientTable.slots[slot].key = key;
        clientTable.slots[slot].noteEnd = end;
        clientTable.slots[slot].busyUntil = end;
    };
    lastNote(0, 50, 1000);
    lastNote(1, 70, 1000);
    lastNote(2, 64, 1000);
    lastNote(3, 66, 999);  // nearest key, but its line ended a millisecond earlier
    playAtStart(66, 1000, 100);
    EXPECT_EQ(peers[2]->received(), std::vector<Datagram>{note(66, 80)});

    // 60 lies 10 from both 50 and 70.
    lastNote(2, 90, 1000);
    playAtStart(60, 1000, 100);
    EXPECT_EQ(peers[0]->received(), std::vector<Datagram>{note(60, 80)});

    // Being busy does not matter to a continuation.
    lastNote(1, 70, 2000);
    clientTable.slots[1].busyUntil = 5000;
    playAtStart(72, 2000, 100);
    EXPECT_EQ(peers[1]->received(), std::vector<Datagram>{note(72, 80)});
    EXPECT_TRUE(peers[3]->received().empty());
}

TEST_F(ServerDispatch, FreshClientsTakeTheOpeningNotesOneEach) {
    auto peers = registeredPeers(4);
    // Registered clients start with note end 0 and key 0, so notes at 0 ms continue their lines.
    playAtStart(126, 0, 400);
    playAtStart(1, 0, 400);
    playAtStart(64, 0, 400);
    EXPECT_EQ(peers[0]->received(), std::vector<Datagram>{note(126, 380)});
    EXPECT_EQ(peers[1]->received(), std::vector<Datagram>{note(1, 380)});
    EXPECT_EQ(peers[2]->received(), std::vector<Datagram>{note(64, 380)});
    // A note 4 ms in continues no line and goes to the client that has not played yet, idle since
    // it registered; one more finds nobody idle and is dropped.
    playAtStart(67, 4, 400);
    playAtStart(65, 4, 400);
    EXPECT_EQ(peers[3]->received(), std::vector<Datagram>{note(67, 380)});
    for (auto &peer : peers) EXPECT_TRUE(peer->received().empty());
}

TEST_F(ServerDispatch, KeyOneTwentySevenNeverContinuesALine) {
    auto peers = registeredPeers(2);
    // Distance 127 from the fresh key 0: only the idle rule is left, and a client that has not
    // played yet is idle from the start. Once both play, a third such note is dropped.
    dispatchNote(0, 127, 300, 0, 300);
    dispatchNote(1, 127, 300, 0, 300);
    dispatchNote(9, 127, 300, 0, 300);
    EXPECT_EQ(peers[0]->received(), std::vector<Datagram>{note(127, 280)});
    EXPECT_EQ(peers[1]->received(), std::vector<Datagram>{note(127, 280)});
}

TEST_F(ServerDispatch, AClientIsIdleTenMillisecondsAfterItsToneEnded) {
    auto peers = registeredPeers(1);
    // Given at position 50 for 100 ms: busy until 150, while its line ends at 120.
    dispatchNote(50, 60, 100, 20, 120);
    EXPECT_EQ(peers[0]->received(), std::vector<Datagram>{note(60, 80)});
    dispatchNote(159, 70, 100, 159, 259);
    EXPECT_TRUE(peers[0]->received().empty());
    dispatchNote(160, 70, 100, 159, 259);
    EXPECT_EQ(peers[0]->received(), std::vector<Datagram>{note(70, 80)});
}

TEST_F(ServerDispatch, ToneLengthsAreTheDurationLessTwentyClampedToSixteenBits) {
    auto peers = registeredPeers(1);
    std::vector<Datagram> expected;
    int32_t start = 100;
    // The first note finds the client idle; each later one continues its line.
    for (int32_t duration : {21, 20, 5, 32787, 32788, 100000, INT32_MAX / 2}) {
        dispatchNote(start, 200, duration, start, start + duration);
        start += duration;
    }
    expected = {note(200, 1),     note(200, 0),     note(200, -15),  note(200, 32767),
                note(200, 32767), note(200, 32767), note(200, 32767)};
    EXPECT_EQ(peers[0]->received(), expected);

    // A negative length, as a tempo change can make one, is clamped the other way.
    dispatchNote(start, 200, -100000, start, start - 100000);
    EXPECT_EQ(peers[0]->received(), std::vector<Datagram>{note(200, -32768)});
}

TEST_F(ServerDispatch, AnEndlessNoteKeepsItsClientBusyForever) {
    auto peers = registeredPeers(1);
    dispatchNote(1000, 60, INT32_MAX, 1000, INT32_MAX);
    EXPECT_EQ(clientTable.slots[0].busyUntil, INT32_MAX);
    dispatchNote(INT32_MAX, 62, 100, 5000, 5100);
    EXPECT_EQ(peers[0]->received(), std::vector<Datagram>{note(60, 32767)});
}
