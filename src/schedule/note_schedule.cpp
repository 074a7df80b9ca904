#include "schedule/note_schedule.h"

#include <cstdlib>

NoteSchedule noteSchedule = {};

bool scheduleIsEmpty() {
    return noteSchedule.head == nullptr;
}

NoteRecord *takeFirstNote() {
    NoteRecord *first = noteSchedule.head;
    if (first == nullptr) return nullptr;
    noteSchedule.head = first->next;
    if (noteSchedule.head == nullptr) noteSchedule.tail = nullptr;
    first->next = nullptr;
    return first;
}

void freeSchedule() {
    while (NoteRecord *note = takeFirstNote()) free(note);
}

NoteRecord *appendNote(uint32_t key, int32_t start, int32_t duration) {
    NoteRecord *note = static_cast<NoteRecord *>(malloc(sizeof(NoteRecord)));
    if (note == nullptr) return nullptr;
    note->duration = duration;
    note->key = key;
    note->start = start;
    note->next = nullptr;
    if (noteSchedule.tail == nullptr) {
        noteSchedule.head = note;
    } else {
        noteSchedule.tail->next = note;
    }
    noteSchedule.tail = note;
    return note;
}

namespace {
// Merges two ordered lists; on equal starts the record of `earlier` goes first, which keeps the sort stable.
NoteRecord *mergeByStart(NoteRecord *earlier, NoteRecord *later) {
    NoteRecord *merged = nullptr;
    NoteRecord **link = &merged;
    while (earlier != nullptr && later != nullptr) {
        NoteRecord **taken = later->start < earlier->start ? &later : &earlier;
        *link = *taken;
        link = &(*taken)->next;
        *taken = (*taken)->next;
    }
    *link = earlier != nullptr ? earlier : later;
    return merged;
}

// Cuts the longest ordered run off the front of `list`, returns it and leaves `list` at the rest.
NoteRecord *takeOrderedRun(NoteRecord *&list) {
    NoteRecord *run = list;
    NoteRecord *last = run;
    while (last->next != nullptr && last->next->start >= last->start) last = last->next;
    list = last->next;
    last->next = nullptr;
    return run;
}
}  // namespace

void sortScheduleByStart() {
    // Bottom-up merge of the list's ordered runs. Each track is read in time order, so a song is a
    // handful of long runs and the sort costs about n log(tracks); any list costs at most n log n.
    // levels[i] merges 2^i runs and always holds records read before those of levels[i - 1];
    // 64 levels hold more runs than memory can hold records.
    constexpr int LEVELS = 64;
    NoteRecord *levels[LEVELS] = {};
    NoteRecord *rest = noteSchedule.head;
    while (rest != nullptr) {
        NoteRecord *carry = takeOrderedRun(rest);
        int level = 0;
        while (levels[level] != nullptr) {
            carry = mergeByStart(levels[level], carry);
            levels[level] = nullptr;
            ++level;
        }
        levels[level] = carry;
    }
    NoteRecord *sorted = nullptr;
    for (NoteRecord *level : levels) {
        if (level != nullptr) sorted = mergeByStart(level, sorted);
    }
    noteSchedule.head = sorted;
    noteSchedule.tail = sorted;
    while (noteSchedule.tail != nullptr && noteSchedule.tail->next != nullptr) {
        noteSchedule.tail = noteSchedule.tail->next;
    }
}
