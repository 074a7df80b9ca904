#pragma once
// The tones a client has been given ahead, each with the moment it sounds on the server's clock,
// kept in order until that moment comes near; then each is handed to the speaker, which places it.
#include <cstdint>
#include <optional>
#include <vector>

// Takes a timed note: key, tone length in milliseconds and the server's microsecond it sounds at.
// For a client of the live version, a live slice of the key of the tone waiting or handed to the
// speaker last that begins within 2 ms of that tone's end carries it on: one tone, longer, with no
// ramp between.
// Until the room's clock is known the note waits for it: played as it came, it would sound a lead
// early (a client joining mid-song hears from the song before from the clock).
void queueTimedTone(int16_t key, int16_t length, uint32_t serverMicros, bool liveSlice);

// Hands the speaker every tone whose moment is near (a tone placed on a running sound stream is
// written ahead of it); returns the nanoseconds until the next one is near, or -1 when none waits
// or the room's clock is not known yet.
int64_t playNearTimedTones();

// A client of the live version is told where a live note ends: the tone of that key that is sounding
// or waiting ends at the server's microsecond, ramped down as any tone's end; the slices that carry
// it on, waiting apart from it, are dropped. A stray end (another key, or a moment past the tone's
// end) changes nothing.
void endTimedTone(int16_t key, uint32_t serverMicros);

// A tone given ahead: key, length in milliseconds and the server's microsecond it sounds at.
struct TimedTone {
    int16_t key;
    int16_t length;
    uint32_t serverMicros;
    std::optional<int64_t> lateStart;  // a tone played late and whole starts there, on the boot clock
    bool liveSlice = false;            // may carry on the tone before it
};

// Makes the tone of the same key in the queue (not one played late) whose end the tone begins
// within 2 ms of last as long as to the tone's end; false where there is none, or it would be longer
// than a tone's length can say.
bool carryOnWaitingTone(std::vector<TimedTone> &queue, const TimedTone &tone);

// Cuts the tone of the key in the queue that sounds across the server's microsecond short there,
// and drops those of the key that carry it on, each beginning within 2 ms of the one before's end.
// `cutEnd`: where the speaker's tone was cut, its former end; those carrying it on are dropped.
void endWaitingTone(std::vector<TimedTone> &queue, int16_t key, uint32_t serverMicros, std::optional<uint32_t> cutEnd);

// Whether tones are still waiting to be handed to the speaker.
bool timedTonesWaiting();

// At the server's good-bye: tones still waiting for the room's clock can never be placed, and are
// counted missed and forgotten. Nothing happens once the clock is known.
void missTonesWithoutClock();

// The room was silenced: every tone not yet handed to the speaker is forgotten, not counted.
void forgetTimedTones();

// Tones that came after their moment in this song: played for what was left, not at all, or late
// but whole.
struct LateTones {
    int shortened;
    int missed;
    int playedLate;
};
LateTones lateTones();

// A song ended: the next one's count starts from nothing.
void forgetLateTones();

// How the recent notes came. A rare late note (a datagram held up on Wi-Fi) is played for what is
// left of it, so that it delays nothing; over a link slower than the lead every note comes late,
// and a run of them is played late but whole, as an older client plays them, each as long after
// its moment as the run's delay.
struct LateRun {
    uint8_t recent;        // bit i: the note i notes back came after its moment
    int64_t delayNanos;    // how long after its moment a tone of the run starts; 0: no run
    int64_t playingUntil;  // the end of the run's newest tone
};

// Takes a note for the moment `moment` that came at `arrival` (both on the boot clock), of the
// given length. Returns where it starts when it is played late and whole; nothing when it is
// played at its moment, as a note on time or a rare late one.
std::optional<int64_t> lateStart(LateRun &run, int64_t moment, int64_t arrival, int lengthMs);
