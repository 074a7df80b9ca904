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

TEST_F(DeviceDirectory, SignalsThatStopOrEndTheProcessSilenceTheSoundingTone) {
    const std::string speaker = makeFile("platform-pcspkr-event-spkr");
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // A group of its own whose parent (the test) is outside it: the kernel ignores SIGTSTP in
        // a group without one, as a test runner may leave it.
        setpgid(0, 0);
        const int device = openPcSpeaker(directory.c_str());
        if (device >= 0) playPcSpeakerTone(device, 440, 10000);
        _exit(0);
    }
    // The tones sent once there are at least `count` (or 5 s have passed).
    auto tones = [&](size_t count) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (eventsIn(speaker).size() < count && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::vector<int> values;
        for (const input_event &event : eventsIn(speaker)) values.push_back(event.value);
        return values;
    };
    // Ctrl-Z stops the player with its tone off; going on, the tone is still due and sounds again.
    tones(1);
    kill(child, SIGTSTP);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
    EXPECT_TRUE(WIFSTOPPED(status));
    EXPECT_EQ(tones(2), (std::vector<int>{440, 0}));
    kill(child, SIGCONT);
    tones(3);
    // A signal left at its default ends the player as it would have without a speaker, but not
    // before switching the tone off.
    kill(child, SIGUSR1);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGUSR1);
    EXPECT_EQ(tones(4), (std::vector<int>{440, 0, 440, 0}));
}
