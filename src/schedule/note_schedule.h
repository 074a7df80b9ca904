#pragma once
// The song as the server plays it: a singly linked list of notes in milliseconds.
#include <cstdint>

struct NoteRecord {
    int32_t duration;  // milliseconds; 60 for a note that is never ended
    uint32_t key;
    int32_t start;  // milliseconds from the song's start
    NoteRecord *next;
};

constexpr int KEY_COUNT = 128;

struct NoteSchedule {
    NoteRecord *head;
    NoteRecord *tail;
    NoteRecord *activeNotes[KEY_COUNT];  // the sounding note of each key, any channel or track; points into the list
    double division;                     // ticks per quarter note, from the header
    double msPerQuarter;                 // of the set-tempo event read last
};

extern NoteSchedule noteSchedule;

// A key of 0 or a note of no length has nothing to sound: the server takes it off unsent.
inline bool isAudible(const NoteRecord &note) {
    return note.key != 0 && note.duration != 0;
}

bool scheduleIsEmpty();
// Unlinks the head record and hands it to the caller, who frees it.
NoteRecord *takeFirstNote();
// Frees every record still in the list.
void freeSchedule();
// Makes a record (malloc) with the given fields and appends it after the tail; nullptr when memory is out.
NoteRecord *appendNote(uint32_t key, int32_t start, int32_t duration);
// Orders the list by start time; notes with equal starts keep their order (stable, O(n log n)).
void sortScheduleByStart();
