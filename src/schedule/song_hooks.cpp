#include "schedule/song_hooks.h"

#include <cstdint>

#include "midi/midifile.h"
#include "schedule/note_schedule.h"
#include "schedule/tempo_map.h"

namespace {

constexpr int32_t UNENDED_DURATION = 60;
// In tick mode, the duration field of a note that no note-off has ended. A note-off at this very
// tick, which only a time count that wrapped around can reach, leaves its note at 60 ms.
constexpr int32_t OPEN_IN_TICKS = INT32_MIN;

FILE *songFile = nullptr;

// Formats 0 and 1 share one tempo map across all tracks, so a later track can still change the
// times of notes already read: their records hold ticks (start tick, end tick) until the whole map
// is known. A format 2 track has its own map and is read in time order, so its times are final at once.
bool timesInTicks = true;

int songGetc() {
    int byte = getc(songFile);
    return byte == EOF ? -1 : byte;
}

int songError(const char *) {
    return 0;
}

int startOwnTempoMap() {
    restartTempoMap();
    return 0;
}

int songHeader(int format, int tracks, int division) {
    printf("header: %d %d div:%d\n", format, tracks, static_cast<int>(static_cast<int16_t>(division)));
    noteSchedule.division = division;
    timesInTicks = format != 2;
    // Only format 2 needs to know where a track begins, to start that track's own map.
    if (!timesInTicks) Mf_starttrack = startOwnTempoMap;
    return 0;
}

int songTempo(int32_t tempo) {
    printf("Tempo: %d [%d]\n", tempo, 4);
    int32_t msPerQuarter = tempo / 1000;
    noteSchedule.msPerQuarter = msPerQuarter;
    printf("length of quarternote: %u ms\n", static_cast<unsigned>(msPerQuarter));
    return addTempoChange(Mf_currtime, msPerQuarter) ? 0 : MF_INSUFFICIENT_MEMORY;
}

bool isTableKey(int key) {
    return key >= 0 && key < KEY_COUNT;
}

int songNoteOff(int, int key, int) {
    if (!isTableKey(key)) return 0;
    NoteRecord *note = noteSchedule.activeNotes[key];
    noteSchedule.activeNotes[key] = nullptr;
    if (note == nullptr) return 0;
    note->duration = timesInTicks ? Mf_currtime : wholeMs(tickToMs(Mf_currtime) - note->start);
    return 0;
}

int songNoteOn(int channel, int key, int velocity) {
    if (velocity == 0) return songNoteOff(channel, key, velocity);
    if (!isTableKey(key)) return 0;
    NoteRecord *note = timesInTicks ? appendNote(key, Mf_currtime, OPEN_IN_TICKS)
                                    : appendNote(key, wholeMs(tickToMs(Mf_currtime)), UNENDED_DURATION);
    if (note == nullptr) return MF_INSUFFICIENT_MEMORY;
    noteSchedule.activeNotes[key] = note;
    return 0;
}

void clearActiveNotes() {
    for (NoteRecord *&active : noteSchedule.activeNotes) active = nullptr;
}

}  // namespace

void installSongHooks(FILE *file) {
    clearActiveNotes();
    noteSchedule.division = 0;
    noteSchedule.msPerQuarter = DEFAULT_MS_PER_QUARTER;
    restartTempoMap();
    timesInTicks = true;
    songFile = file;
    clearMidiHooks();
    Mf_getc = songGetc;
    Mf_error = songError;
    Mf_header = songHeader;
    Mf_tempo = songTempo;
    Mf_noteon = songNoteOn;
    Mf_noteoff = songNoteOff;
}

void finishSongTimes() {
    // From here on the server loop takes and frees the records; the table must not point at them.
    clearActiveNotes();
    if (timesInTicks) {
        orderTempoMap();
        for (NoteRecord *note = noteSchedule.head; note != nullptr; note = note->next) {
            int32_t endTick = note->duration;
            note->start = wholeMs(tickToMs(note->start));
            note->duration = endTick == OPEN_IN_TICKS ? UNENDED_DURATION : wholeMs(tickToMs(endTick) - note->start);
        }
    }
    sortScheduleByStart();
}
