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
