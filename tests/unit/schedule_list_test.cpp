// The note list as the server loop and the shutdown sequence use it, and its time ordering.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "schedule/note_schedule.h"
#include "schedule_song_files.h"

using songfiles::Note;
using songfiles::scheduledNotes;

namespace {

class ScheduleList : public testing::Test {
protected:
    void TearDown() override { freeSchedule(); }
};

TEST_F(ScheduleList, TakingNotesEmptiesTheListFromItsHead) {
    EXPECT_TRUE(scheduleIsEmpty());
    EXPECT_EQ(takeFirstNote(), nullptr);
    appendNote(60, 0, 500);
    appendNote(62, 500, 60);
    EXPECT_FALSE(scheduleIsEmpty());
    NoteRecord *first = takeFirstNote();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ((Note{first->key, first->start, first->duration}), (Note{60, 0, 500}));
    EXPECT_EQ(first->next, nullptr);
    free(first);
    // Taking the last note leaves no dangling tail: a note appended afterwards is the head.
    free(takeFirstNote());
    EXPECT_TRUE(scheduleIsEmpty());
    appendNote(64, 1000, 60);
    EXPECT_EQ(scheduledNotes(), (std::vector<Note>{{64, 1000, 60}}));
    freeSchedule();
    EXPECT_TRUE(scheduleIsEmpty());
    EXPECT_EQ(noteSchedule.tail, nullptr);
}

TEST_F(ScheduleList, SortingIsByStartAndStable) {
    // Lists of every shape: empty, one note, already ordered, reversed, and random with many ties;
    // the key tells the reading order apart among equal starts.
    std::mt19937 random(7);
    std::vector<std::vector<int32_t>> shapes = {{}, {5}, {1, 2, 2, 3}, {3, 2, 2, 1, -4}};
    for (int size : {2, 3, 17, 1000, 4099}) {
        std::vector<int32_t> starts(size);
        for (int32_t &start : starts) start = int32_t(random() % 50) - 10;
        shapes.push_back(starts);
    }
    for (const std::vector<int32_t> &starts : shapes) {
        std::vector<Note> expected;
        for (size_t i = 0; i < starts.size(); ++i) {
            appendNote(uint32_t(i), starts[i], 60);
            expected.push_back({uint32_t(i), starts[i], 60});
        }
        std::stable_sort(expected.begin(), expected.end(),
                         [](const Note &a, const Note &b) { return a.start < b.start; });
        sortScheduleByStart();
        EXPECT_EQ(scheduledNotes(), expected) << starts.size() << " notes";
        freeSchedule();
    }
}

}  // namespace
