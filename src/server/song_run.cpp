#include "server/song_run.h"

#include <algorithm>

#include "concert/song_timeline.h"
#include "net/room_clock.h"
#include "platform/clock.h"

namespace {

SongTimeline timeline = timelineFrom(0, 0);
NoteRecord *nextNote = nullptr;  // the next note to give, in the schedule's list
size_t nextIndex = 0;            // its place in the list
int32_t lapShift = 0;            // added to a note's start in this lap of the loop
int32_t loopFrom = 0;
int32_t loopUntil = 0;  // not after loopFrom: no loop
int32_t lastGiven = 0;
std::string marks;
size_t takenBackUntil = 0;  // the notes from the next one up to this one were given before a pause

bool looping() {
    return loopUntil > loopFrom;
}

// The first note starting at or after the song's own position.
void placeCursorAt(int32_t songMs) {
    nextNote = noteSchedule.head;
    nextIndex = 0;
    takenBackUntil = 0;
    while (nextNote != nullptr && nextNote->start < songMs) {
        nextNote = nextNote->next;
        nextIndex++;
    }
}

void restartMarks() {
    size_t count = 0;
    for (const NoteRecord *note = noteSchedule.head; note != nullptr; note = note->next) count++;
    marks.assign(count, '.');
}

char markOf(int voice) {
    if (voice == NOT_SOUNDED) return ' ';
    if (voice < 0) return '-';
    return static_cast<char>(voice < 26 ? 'A' + voice : 'a' + (voice - 26));
}

// The song's own position of a position on the run's clock, in the lap it falls in.
int32_t songMsOf(int32_t position) {
    int32_t shift = lapShift;
    while (looping() && shift > 0 && position - shift < loopFrom) shift -= loopUntil - loopFrom;
    return position - shift;
}

// Notes given for a moment after the position are taken back: the next note given is the first
// that starts there, in the lap the position falls in.
void takeBackNotesAfter(int32_t position) {
    const size_t givenUntil = nextIndex;
    while (looping() && lapShift > 0 && position - lapShift < loopFrom) lapShift -= loopUntil - loopFrom;
    placeCursorAt(position - lapShift);
    takenBackUntil = givenUntil;
    lastGiven = std::min(lastGiven, position);
}

}  // namespace

void startSongAfter(int32_t leadMs) {
    timeline = timelineFrom(monotonicNanos() + leadMs * NANOS_PER_MILLI, 0);
    nextNote = noteSchedule.head;
    nextIndex = 0;
    lapShift = loopFrom = loopUntil = lastGiven = 0;
    restartMarks();
}

void startSongNow() {
    startSongAfter(0);
}

int32_t songPosition() {
    return songMsAt(timeline, monotonicNanos());
}

int64_t nanosUntilSongPosition(int32_t position) {
    const int64_t moment = momentOfSongMs(timeline, position);
    if (moment == INT64_MAX) return -1;
    return std::max<int64_t>(moment - monotonicNanos(), 0);
}

uint32_t serverMicrosAtSongPosition(int32_t position) {
    return serverMicros(momentOfSongMs(timeline, position));
}

int64_t songStartNanos() {
    return momentOfSongMs(timeline, 0);
}

const NoteRecord *nextNoteToGive(int32_t &start) {
    if (looping() && (nextNote == nullptr || nextNote->start >= loopUntil)) {
        placeCursorAt(loopFrom);
        // A loop around no note at all plays nothing more.
        if (nextNote == nullptr || nextNote->start >= loopUntil) return nullptr;
        lapShift = saturatingSum(lapShift, loopUntil - loopFrom);
    }
    if (nextNote == nullptr) return nullptr;
    start = saturatingSum(nextNote->start, lapShift);
    return nextNote;
}

void noteGiven(int voice) {
    if (nextNote == nullptr) return;
    lastGiven = std::max(lastGiven, saturatingSum(nextNote->start, lapShift));
    if (nextIndex < marks.size()) marks[nextIndex] = markOf(voice);
    nextNote = nextNote->next;
    nextIndex++;
}

int voiceBeforePause() {
    if (nextIndex >= takenBackUntil || nextIndex >= marks.size()) return NO_VOICE;
    const char mark = marks[nextIndex];
    if (mark >= 'A' && mark <= 'Z') return mark - 'A';
    if (mark >= 'a' && mark <= 'f') return mark - 'a' + 26;
    return NO_VOICE;
}

int32_t lastGivenStart() {
    return lastGiven;
}

void pauseSong() {
    const int64_t now = monotonicNanos();
    pauseTimeline(timeline, now);
    takeBackNotesAfter(songMsAt(timeline, now));
}

void resumeSong(int32_t leadMs) {
    resumeTimeline(timeline, monotonicNanos() + leadMs * NANOS_PER_MILLI);
}

void seekSong(int32_t songMs, int32_t leadMs) {
    const int64_t now = monotonicNanos();
    moveTimeline(timeline, timeline.paused ? now : now + leadMs * NANOS_PER_MILLI, songMs);
    lapShift = 0;
    placeCursorAt(songMs);
    lastGiven = songMs;
    if (looping() && (songMs < loopFrom || songMs >= loopUntil)) loopFrom = loopUntil = 0;
}

void setSongTempo(int percent) {
    const int64_t now = monotonicNanos();
    // Notes already given keep their moments: the new tempo begins after the last of them.
    setTimelineTempo(timeline, now, std::max(now, momentOfSongMs(timeline, lastGiven)), percent);
}

void loopSong(int32_t fromMs, int32_t untilMs) {
    loopFrom = fromMs;
    loopUntil = untilMs;
}

void songNotesReplaced(int32_t nextStartMs) {
    restartMarks();
    placeCursorAt(nextStartMs);
}

bool songPaused() {
    return timeline.paused;
}

int songTempo() {
    return timeline.changeNanos == NO_CHANGE ? timeline.percent : timeline.changePercent;
}

int songTempoAt(int32_t position) {
    return tempoAtSongMs(timeline, position);
}

int32_t songMsNow() {
    return songMsOf(songPosition());
}

bool songLoop(int32_t &fromMs, int32_t &untilMs) {
    fromMs = loopFrom;
    untilMs = loopUntil;
    return looping();
}

const std::string &givenMarks() {
    return marks;
}
