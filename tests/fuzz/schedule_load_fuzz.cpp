// Arbitrary bytes loaded as a song, as the server loads one, short of ending the run on an error.
// Beyond the sanitizers' own checks: no key outside the active-note table gets a record, and a
// song that loads is in time order with its tail at its end.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "midi/midifile.h"
#include "schedule/note_schedule.h"
#include "schedule/song_hooks.h"
#include "schedule/tempo_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (file == nullptr) return 0;
    installSongHooks(file);
    int result = mfread();
    fclose(file);
    if (result >= 0) finishSongTimes();
    const NoteRecord *last = nullptr;
    for (const NoteRecord *note = noteSchedule.head; note != nullptr; note = note->next) {
        if (note->key >= KEY_COUNT) __builtin_trap();
        if (result >= 0 && last != nullptr && note->start < last->start) __builtin_trap();
        last = note;
    }
    if (noteSchedule.tail != last) __builtin_trap();
    freeSchedule();
    freeTempoMap();
    return 0;
}
