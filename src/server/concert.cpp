#include "server/concert.h"

#include <algorithm>
#include <string>

#include "concert/concert_commands.h"
#include "concert/playlist.h"
#include "concert/room_snapshot.h"
#include "platform/clock.h"
#include "schedule/note_schedule.h"
#include "schedule/song_filter.h"
#include "schedule/song_loader.h"
#include "server/client_table.h"
#include "server/dispatch.h"
#include "server/live_voices.h"
#include "server/room_report.h"
#include "server/server.h"
#include "server/server_status.h"
#include "server/song_run.h"
#include "shell/long_options.h"
#include "shell/run_state.h"

namespace {

// The room's breath between two songs of a concert: short enough for older clients, which end
// after a minute without a word from the server.
constexpr int32_t BETWEEN_SONGS_MS = 3000;
constexpr int64_t STATE_EVERY_NANOS = 250 * NANOS_PER_MILLI;
constexpr int32_t PREVIOUS_RESTARTS_AFTER_MS = 3000;  // "previous" later into a song starts it again

size_t songInPlay = 0;
std::string lastRefusal;
uint64_t notesVersion = 0;
int64_t nextStateNanos = 0;

void publishNotesInPlay() {
    if (runState.webPort == 0) return;
    publishSongNotes(songNotesJson(songInPlay, ++notesVersion));
}

// Reads the playlist's song into the schedule, the one in play staying until it has read whole;
// its lines are printed as for the first song.
bool readPlaylistSong(size_t index) {
    const PlaylistSong &song = playlistSong(index);
    std::string refusal;
    const bool dropped = song.path.empty();
    if (loadConcertSong(dropped ? nullptr : song.path.c_str(), dropped ? &song.bytes : nullptr, true, refusal)) {
        return true;
    }
    lastRefusal = song.name + ": " + refusal;
    return false;
}

// Leaves the song in play (at position) for the song at index, or the first after it that reads,
// which starts after the pause given and a lead; a song that ended lets its last tones ring, one
// left by a conductor is silenced. False when none reads: the song in play goes on.
bool playSongFrom(size_t index, int32_t position, int32_t pauseMs) {
    while (index < playlistSize() && !readPlaylistSong(index)) index++;
    if (index >= playlistSize()) return false;
    if (pauseMs == 0) silenceConcertClients();
    reportSongEnd(std::max(position, 0));
    reportLoadedSong();
    songInPlay = index;
    playlistSong(index).lengthMs = songLengthMs();
    startSongAfter(saturatingSum(pauseMs, lookAheadMs()));
    restartDispatch(position, songPosition());
    publishNotesInPlay();
    return true;
}

bool started() {
    return runState.playbackActive != 0;
}

void pause() {
    if (!started() || songPaused()) return;
    const int32_t position = songPosition();
    pauseSong();
    silenceConcertClients();
    restartDispatch(position, songPosition());
}

void seekTo(int32_t songMs) {
    if (!started()) return;
    const int32_t position = songPosition();
    silenceConcertClients();
    seekSong(std::clamp(songMs, 0, songLengthMs()), lookAheadMs());
    restartDispatch(position, songPosition());
}

void setLoop(int32_t fromMs, int32_t untilMs) {
    if (!started()) return;
    fromMs = std::clamp(fromMs, 0, songLengthMs());
    untilMs = std::clamp(untilMs, 0, songLengthMs());
    loopSong(fromMs, untilMs);
    const int32_t now = songMsNow();
    if (untilMs > fromMs && (now >= untilMs || now < fromMs)) seekTo(fromMs);
}

void addDroppedFile(const ConcertCommand &command) {
    std::string refusal;
    int32_t lengthMs = 0;
    if (!loadConcertSong(nullptr, &command.bytes, false, refusal, &lengthMs)) {
        lastRefusal = command.name + ": " + refusal;
    } else if (!addDroppedSong(command.name, command.bytes, lengthMs)) {
        lastRefusal = command.name + ": the playlist is full.";
    } else {
        lastRefusal.clear();
    }
}

// The song's options as the conductor switched them; the song in play is read again with them and
// goes on from the next note it had to give.
void switchOptions(const ConcertSongOptions &options) {
    NumberList tracks;
    if (!options.tracks.empty() && !readTrackList(options.tracks.c_str(), tracks)) return;
    if (options.highestKey - options.lowestKey < OCTAVE - 1 || options.lowestKey < 0 ||
        options.highestKey >= KEY_COUNT) {
        return;
    }
    const SongFilter before = songFilter;
    songFilter.channels = options.channels;
    songFilter.tracks = tracks;
    songFilter.transpose = std::clamp(options.transpose, -48, 48);
    songFilter.lowestKey = options.lowestKey;
    songFilter.highestKey = options.highestKey;
    int32_t start = 0;
    const NoteRecord *next = nextNoteToGive(start);
    const int32_t nextStart = next != nullptr ? next->start : INT32_MAX;
    const PlaylistSong &song = playlistSong(songInPlay);
    const bool dropped = song.path.empty();
    std::string refusal;
    if (!loadConcertSong(dropped ? nullptr : song.path.c_str(), dropped ? &song.bytes : nullptr, false, refusal)) {
        songFilter = before;
        lastRefusal = song.name + ": " + refusal;
        return;
    }
    songNotesReplaced(nextStart);
    publishNotesInPlay();
}

void previousSong() {
    const int32_t position = songPosition();
    if (songMsNow() > PREVIOUS_RESTARTS_AFTER_MS || songInPlay == 0) {
        playSongFrom(songInPlay, position, 0);
    } else {
        playSongFrom(songInPlay - 1, position, 0);
    }
}

void actOn(const ConcertCommand &command) {
    switch (command.kind) {
        case ConcertCommandKind::Start: activateSong(); break;
        case ConcertCommandKind::Stop: requestStop(); break;
        case ConcertCommandKind::Pause: pause(); break;
        case ConcertCommandKind::Resume: resumeSong(lookAheadMs()); break;
        case ConcertCommandKind::TogglePause: songPaused() ? resumeSong(lookAheadMs()) : pause(); break;
        case ConcertCommandKind::Seek: seekTo(command.songMs); break;
        case ConcertCommandKind::SeekBy: seekTo(saturatingSum(songMsNow(), command.songMs)); break;
        case ConcertCommandKind::Loop: setLoop(command.songMs, command.untilMs); break;
        case ConcertCommandKind::Tempo: setSongTempo(command.percent); break;
        case ConcertCommandKind::TempoBy: setSongTempo(songTempo() + command.percent); break;
        case ConcertCommandKind::Next: playSongFrom(songInPlay + 1, songPosition(), 0); break;
        case ConcertCommandKind::Previous: previousSong(); break;
        case ConcertCommandKind::PlaySong:
            playSongFrom(static_cast<size_t>(std::max(command.index, 0)), songPosition(), 0);
            break;
        case ConcertCommandKind::AddSong: addDroppedFile(command); break;
        case ConcertCommandKind::SongOptions: switchOptions(command.options); break;
        case ConcertCommandKind::LiveNoteOn:
            startLiveNote(command.liveSource, command.key, songPosition(), monotonicNanos());
            break;
        case ConcertCommandKind::LiveNoteOff: endLiveNote(command.liveSource, command.key, monotonicNanos()); break;
        case ConcertCommandKind::LiveSourceEnded: endLiveSource(command.liveSource, monotonicNanos()); break;
    }
}

const char *stateName() {
    if (!started()) return "waiting";
    if (songPaused()) return "paused";
    if (songInPlay > 0 && songPosition() < 0) return "between";
    return "playing";
}

}  // namespace

void beginConcert() {
    // A live room has no song of its own; a playlist's songs are still listed.
    if (!runState.liveMode) {
        startPlaylist(runState.midiPath);
        playlistSong(0).lengthMs = songLengthMs();
    }
    publishNotesInPlay();
}

void actOnConcertCommands() {
    ConcertCommand command;
    bool acted = false;
    while (takeConcertCommand(command)) {
        actOn(command);
        acted = true;
    }
    if (acted) publishRoomStateWhenDue(true);
}

bool goOnAfterSong(int32_t position) {
    if (songInPlay + 1 >= playlistSize()) return false;
    tellSongEnd(static_cast<int>(playlistSize() - songInPlay - 1));
    return playSongFrom(songInPlay + 1, position, BETWEEN_SONGS_MS);
}

int64_t publishRoomStateWhenDue(bool forced) {
    if (runState.webPort == 0) return -1;
    const int64_t now = monotonicNanos();
    if (forced || now >= nextStateNanos) {
        publishRoomState(roomStateJson(stateName(), songInPlay, lastRefusal));
        nextStateNanos = now + STATE_EVERY_NANOS;
    }
    return nextStateNanos - now;
}
