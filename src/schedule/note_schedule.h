#pragma once
// The song as the server plays it: a singly linked list of notes in milliseconds.
#include <cstdint>

struct NoteRecord {
    int32_t duration;
    uint32_t key;
    int32_t start;
    NoteRecord *next;
};

constexpr int KEY_COUNT = 128;

struct NoteSchedule {
    NoteRecord *head;
    NoteRecord *tail;
    NoteRecord *activeNotes[KEY_COUNT];  // the sounding note of each key; points into the list
    double division;
    double msPerQuarter;
};

extern NoteSchedule noteSchedule;

bool scheduleIsEmpty();
// Unlinks the head record and hands it to the caller, who frees it.
NoteRecord *takeFirstNote();
// Frees every record still in the list.
void freeSchedule();
