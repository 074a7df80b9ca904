#include "server/server_status.h"

#include <algorithm>
#include <cstdio>

#include "concert/terminal_keys.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "schedule/note_schedule.h"
#include "server/client_table.h"
#include "server/dispatch.h"
#include "shell/run_state.h"

bool statsRequested = false;

namespace {

constexpr int32_t STATUS_EVERY_MS = 250;

struct SongStatus {
    bool onTerminal;   // the status line is shown
    bool reported;     // the load line was printed, so the summary will be
    int32_t lengthMs;  // where the last note ends
    int notes;         // notes with something to sound
    int sent;
    int dropped;
    int32_t nextStatusLine;  // an elapsedMs value
    int statusWidth;         // of the status line on the screen, 0 when none is
};

SongStatus status;

// Minutes and seconds, as a player shows them.
struct Clock {
    char text[16];
};

Clock songTime(int32_t ms) {
    Clock clock;
    const int32_t seconds = std::max(ms, 0) / 1000;
    snprintf(clock.text, sizeof clock.text, "%d:%02d", seconds / 60, seconds % 60);
    return clock;
}

int registeredClients() {
    int registered = 0;
    for (const ClientSlot &slot : clientTable.slots) registered += slot.inUse ? 1 : 0;
    return registered;
}

}  // namespace

void reportLoadedSong() {
    status.onTerminal = standardErrorIsTerminal();
    status.reported = status.onTerminal || statsRequested;
    // A concert's next song is measured and counted afresh.
    status.lengthMs = 0;
    status.notes = status.sent = status.dropped = 0;
    for (const NoteRecord *note = noteSchedule.head; note != nullptr; note = note->next) {
        if (!isAudible(*note)) continue;
        status.notes++;
        status.lengthMs = std::max(status.lengthMs, saturatingSum(note->start, std::max(note->duration, 0)));
    }
    if (!status.reported) return;
    const int needed = clientsNeededForSong();
    fprintf(stderr, "Song: %s long, %d notes; ", songTime(status.lengthMs).text, status.notes);
    if (needed > MAX_CLIENTS) {
        fprintf(stderr, "even %d clients drop some notes.\n", MAX_CLIENTS);
    } else if (needed == 1) {
        fprintf(stderr, "1 client plays every note.\n");
    } else {
        fprintf(stderr, "%d clients play every note.\n", needed);
    }
    // The keys are told once, under the first song's line.
    static bool keysTold = false;
    if (terminalKeysAreRead() && !keysTold) {
        fprintf(stderr, "Keys: [space] pause  [<-/->] seek  [+/-] tempo  [n/p] song  [q] stop\n");
        keysTold = true;
    }
    fflush(stderr);
}

int32_t songLengthMs() {
    return status.lengthMs;
}

void countNote(bool sent) {
    (sent ? status.sent : status.dropped)++;
}

void showStatusLine(int32_t position) {
    const int32_t now = elapsedMs();
    if (!status.onTerminal || msUntil(status.nextStatusLine, now) > 0) return;
    status.nextStatusLine = msAfter(now, STATUS_EVERY_MS);
    char line[160];
    const int width = snprintf(line, sizeof line, "%s / %s  clients: %d  sent: %d  dropped (no free client): %d",
                               songTime(std::min(position, status.lengthMs)).text, songTime(status.lengthMs).text,
                               registeredClients(), status.sent, status.dropped);
    // Spaces cover what a longer line before left; the cursor stays at its end.
    fprintf(stderr, "\r%s%*s", line, std::max(status.statusWidth - width, 0), "");
    fflush(stderr);
    status.statusWidth = std::max(status.statusWidth, width);
}

int64_t nanosUntilStatusLine() {
    if (!status.onTerminal) return -1;
    return nanosUntilElapsed(status.nextStatusLine);
}

void clearStatusLine() {
    if (status.statusWidth == 0) return;
    fprintf(stderr, "\r%*s\r", status.statusWidth, "");
    fflush(stderr);
    status.statusWidth = 0;
    status.nextStatusLine = elapsedMs();
}

void reportSongEnd(int32_t position) {
    if (!status.reported || !runState.playbackActive) return;
    clearStatusLine();
    fprintf(stderr, "Played %s of %s: %d notes sent, %d dropped for want of a free client; clients at the end: %d.\n",
            songTime(std::min(position, status.lengthMs)).text, songTime(status.lengthMs).text, status.sent,
            status.dropped, registeredClients());
    fflush(stderr);
}

int notesSent() {
    return status.sent;
}

int notesDropped() {
    return status.dropped;
}
