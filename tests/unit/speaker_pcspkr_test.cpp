#include <fcntl.h>
#include <linux/input.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/speaker_backend.h"

namespace {

// A stand-in for /dev/input/by-path: plain files take the input events the speaker would get.
class DeviceDirectory : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tonecast-spkr-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
    }
    void TearDown() override {
        for (const std::string &path : made) {
            if (unlink(path.c_str()) != 0) rmdir(path.c_str());
        }
        rmdir(directory.c_str());
    }
    std::string makeFile(const char *name) {
        std::string path = directory + "/" + name;
        std::ofstream(path).close();
        made.push_back(path);
        return path;
    }
    void makeDirectory(const char *name) {
        const std::string path = directory + "/" + name;
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        made.push_back(path);
    }
    std::string directory;
    std::vector<std::string> made;
};

std::vector<input_event> eventsIn(const std::string &path) {
    std::vector<input_event> events;
    std::ifstream file(path, std::ios::binary);
    input_event event;
    while (file.read(reinterpret_cast<char *>(&event), sizeof event)) events.push_back(event);
    return events;
}

}  // namespace

TEST_F(DeviceDirectory, FindsOnlyASpeakerEntryThatOpensForWriting) {
    EXPECT_EQ(openPcSpeaker((directory + "/missing").c_str()), -1);
    makeFile("platform-i8042-serio-0-event-kbd");
    makeFile("event-spkr");  // the suffix alone names no device
    makeFile("platform-pcspkr-event-spkr-old");
    EXPECT_EQ(openPcSpeaker(directory.c_str()), -1);
    // A speaker entry that cannot be written is passed over for one that can.
    makeDirectory("platform-a-event-spkr");
    EXPECT_EQ(openPcSpeaker(directory.c_str()), -1);
    const std::string speaker = makeFile("platform-pcspkr-event-spkr");
    const int device = openPcSpeaker(directory.c_str());
    ASSERT_GE(device, 0);
    struct stat opened, expected;
    ASSERT_EQ(fstat(device, &opened), 0);
    ASSERT_EQ(stat(speaker.c_str(), &expected), 0);
    EXPECT_EQ(opened.st_ino, expected.st_ino);
    EXPECT_EQ(fcntl(device, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    close(device);
}

TEST_F(DeviceDirectory, ToneIsSwitchedOnThenOffAfterItsLength) {
    const std::string speaker = makeFile("platform-pcspkr-event-spkr");
    const int device = openPcSpeaker(directory.c_str());
    ASSERT_GE(device, 0);
    const auto started = std::chrono::steady_clock::now();
    playPcSpeakerTone(device, 440, 60);
    const auto took = std::chrono::steady_clock::now() - started;
    playPcSpeakerTone(device, 880, 1);
    close(device);
    EXPECT_GE(took, std::chrono::milliseconds(60));
    EXPECT_LT(took, std::chrono::milliseconds(60 + 50));
    const std::vector<input_event> events = eventsIn(speaker);
    ASSERT_EQ(events.size(), 4u);
    const int expected[] = {440, 0, 880, 0};
    for (size_t i = 0; i < events.size(); i++) {
        EXPECT_EQ(events[i].type, EV_SND) << i;
        EXPECT_EQ(events[i].code, SND_TONE) << i;
        EXPECT_EQ(events[i].value, expected[i]) << i;
    }
}

TEST_F(DeviceDirectory, ASignalThatEndsTheProcessSilencesTheSoundingTone) {
    const std::string speaker = makeFile("platform-pcspkr-event-spkr");
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const int device = openPcSpeaker(directory.c_str());
        if (device >= 0) playPcSpeakerTone(device, 440, 10000);
        _exit(0);
    }
    // Once the tone is on, end the player the way Ctrl-C or a kill would.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (eventsIn(speaker).empty() && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    // It still dies of the signal, as it would have without a speaker...
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    // ...but not before switching the tone off.
    const std::vector<input_event> events = eventsIn(speaker);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].value, 440);
    EXPECT_EQ(events[1].value, 0);
}
