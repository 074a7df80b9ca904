#include "schedule/song_hooks.h"

#include <cstdint>
#include <string>

#include "midi/midifile.h"
#include "platform/clock.h"
#include "schedule/note_schedule.h"
#include "schedule/song_filter.h"
#include "schedule/tempo_map.h"
#include "shell/shutdown.h"

namespace {

constexpr int32_t UNENDED_DURATION = 60;
// In tick mode, the duration field of a note that no note-off has ended. A note-off at this very
// tick, which only a time count that wrapped around can reach, leaves its note at 60 ms.
constexpr int32_t OPEN_IN_TICKS = INT32_MIN;

FILE *songFile = nullptr;
// A song that came whole (a file dropped on the conductor's page) is read from memory instead.
const std::string *songBytes = nullptr;
size_t songBytesRead = 0;
// The file's lines (header, tempo) are told the first time a song is read, not when it is read
// again with other options.
bool fileLinesTold = true;

// Formats 0 and 1 share one tempo map across all tracks, so a later track can still change the
// times of notes already read: their records hold ticks (start tick, end tick) until the whole map
// is known. A format 2 track has its own map and is read in time order, so its times are final at once.
bool timesInTicks = true;
int currentTrack = 0;  // from 1, in file order
int32_t sysexSkipped = 0;

int songGetc() {
    if (songBytes != nullptr) {
        if (songBytesRead >= songBytes->size()) return -1;
        return static_cast<unsigned char>((*songBytes)[songBytesRead++]);
    }
    int byte = getc(songFile);
    // A stop while the song loads ends the run here: a read from a pipe or a slow share that a stop
    // signal interrupts fails, and a long file is left at the byte being read.
    if (stopRequested()) shutdownAndExit();
    return byte == EOF ? -1 : byte;
}

int songError(const char *) {
    return 0;
}

int songStartTrack() {
    currentTrack++;
    if (!timesInTicks) restartTempoMap();
    return 0;
}

int songHeader(int format, int tracks, int division) {
    if (fileLinesTold)
        printf("header: %d %d div:%d\n", format, tracks, static_cast<int>(static_cast<int16_t>(division)));
    noteSchedule.division = division;
    timesInTicks = format != 2;
    return 0;
}

int countSysex(int, int32_t) {
    sysexSkipped++;
    return 0;
}

int songTempo(int32_t tempo) {
    int32_t msPerQuarter = tempo / 1000;
    noteSchedule.msPerQuarter = msPerQuarter;
    if (fileLinesTold) {
        printf("Tempo: %d [%d]\n", tempo, 4);
        printf("length of quarternote: %u ms\n", static_cast<unsigned>(msPerQuarter));
    }
    return addTempoChange(Mf_currtime, msPerQuarter) ? 0 : MF_INSUFFICIENT_MEMORY;
}

// Whether a note of this key and channel, in the track being read, is part of the song played. The
// events of the others are left out whole, so their note-offs end nothing.
bool isPlayed(int channel, int key) {
    return key >= 0 && key < KEY_COUNT && (songFilter.channels >> channel & 1) != 0 &&
           listHolds(songFilter.tracks, currentTrack);
}

int songNoteOff(int channel, int key, int) {
    if (!isPlayed(channel, key)) return 0;
    NoteRecord *note = noteSchedule.activeNotes[key];
    noteSchedule.activeNotes[key] = nullptr;
    if (note == nullptr) return 0;
    note->duration = timesInTicks ? Mf_currtime : wholeMs(tickToMs(Mf_currtime) - note->start);
    return 0;
}

int songNoteOn(int channel, int key, int velocity) {
    if (velocity == 0) return songNoteOff(channel, key, velocity);
    if (!isPlayed(channel, key)) return 0;
    // The table stays indexed by the file's key: two keys folded onto one still end their own notes.
    const auto played = static_cast<uint32_t>(shapedKey(key));
    NoteRecord *note = timesInTicks ? appendNote(played, Mf_currtime, OPEN_IN_TICKS)
                                    : appendNote(played, wholeMs(tickToMs(Mf_currtime)), UNENDED_DURATION);
    if (note == nullptr) return MF_INSUFFICIENT_MEMORY;
    noteSchedule.activeNotes[key] = note;
    return 0;
}

void clearActiveNotes() {
    for (NoteRecord *&active : noteSchedule.activeNotes) active = nullptr;
}

}  // namespace

void installSongHooks(FILE *file, const std::string *bytes, bool tellFileLines) {
    clearActiveNotes();
    noteSchedule.division = 0;
    noteSchedule.msPerQuarter = DEFAULT_MS_PER_QUARTER;
    restartTempoMap();
    timesInTicks = true;
    currentTrack = 0;
    sysexSkipped = 0;
    songFile = file;
    songBytes = bytes;
    songBytesRead = 0;
    fileLinesTold = tellFileLines;
    clearMidiHooks();
    Mf_getc = songGetc;
    Mf_error = songError;
    Mf_header = songHeader;
    Mf_starttrack = songStartTrack;
    if (songFilter.skipSysex) Mf_sysex = countSysex;
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

int32_t sysexEventsSkipped() {
    return sysexSkipped;
}
