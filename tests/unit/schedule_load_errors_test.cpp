// Songs that cannot be loaded end the run through the shutdown sequence, with status 0 and the
// program's own lines. Each case runs in a child process, whose standard output goes to its
// standard error so that the death test can compare it.
#include <gtest/gtest.h>
#include <plib/netSocket.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "schedule_song_files.h"

using midibytes::Bytes;
using midibytes::cat;
using midibytes::endOfTrack;
using midibytes::song;
using songfiles::noteOff;
using songfiles::noteOn;
using songfiles::SongFile;

namespace {

// What the child does: load the song as the server would, with the shell's socket in place. No
// client has registered, so the shutdown sequence sends nothing.
void loadInChild() {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    runState.isServer = 1;
    runState.socket = new netSocket();
    freeSchedule();
    loadSong();
    printf("loaded\n");
    fflush(stdout);
    _exit(1);
}

// A format 0 song of `count` notes, one per tick.
Bytes manyNotes(int count) {
    Bytes events;
    for (int i = 0; i < count; ++i) {
        Bytes on = noteOn(1, 0, uint8_t(i % 128));
        events.insert(events.end(), on.begin(), on.end());
    }
    return song(0, 480, {cat({events, endOfTrack()})});
}

TEST(ScheduleLoadErrorsDeathTest, AFileThatCannotBeOpened) {
    runState.midiPath = "/nonexistent/tonecast/song.mid";
    EXPECT_EXIT(loadInChild(), testing::ExitedWithCode(0), "^Invalid MIDI file\\.\nQuit\\.\n$");
}

TEST(ScheduleLoadErrorsDeathTest, AReaderErrorEndsTheRunOnTheReadersLine) {
    {
        SongFile empty(Bytes{});
        EXPECT_EXIT(loadInChild(), testing::ExitedWithCode(0),
                    "^Error:-1There were errors reading the MIDI file\\. \\[-1\\]\nQuit\\.\n$");
    }
    {
        // Notes are read before the track ends without its end-of-track event.
        SongFile truncated(song(0, 480, {cat({noteOn(0, 0, 60), noteOff(480, 0, 60), noteOn(0, 0, 62)})}));
        EXPECT_EXIT(loadInChild(), testing::ExitedWithCode(0),
                    "^header: 0 1 div:480\nError:-14There were errors reading the MIDI file\\. "
                    "\\[-14\\]\nQuit\\.\n$");
    }
    {
        // A frame-based division is refused without an "Error:" line of the reader.
        SongFile frames(midibytes::header(1, 2, 0xE728));
        EXPECT_EXIT(loadInChild(), testing::ExitedWithCode(0),
                    "^There were errors reading the MIDI file\\. \\[-6360\\]\nQuit\\.\n$");
    }
}

TEST(ScheduleLoadErrorsDeathTest, ARecordThatCannotBeAllocatedStopsTheReading) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#else
    // 2,000,000 records need far more than the 16 MB left to the child.
    SongFile huge(manyNotes(2000000));
    EXPECT_EXIT(
        {
            rlimit limit;
            getrlimit(RLIMIT_DATA, &limit);
            printf("limited\n");  // the output buffer exists before memory runs out
            long pages = 0;
            if (FILE *statm = fopen("/proc/self/statm", "r")) {
                long size = 0;
                if (fscanf(statm, "%ld %*s %*s %*s %*s %ld", &size, &pages) != 2) pages = 0;
                fclose(statm);
            }
            limit.rlim_cur = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (16u << 20);
            setrlimit(RLIMIT_DATA, &limit);
            loadInChild();
        },
        testing::ExitedWithCode(0),
        "^limited\nheader: 0 1 div:480\nThere were errors reading the MIDI file\\. \\[-9\\]\nQuit\\.\n$");
#endif
}

}  // namespace
