#pragma once
// The tones a client has been given ahead, each with the moment it sounds on the server's clock,
// kept in order until that moment comes near; then each is handed to the speaker, which places it.
#include <cstdint>
#include <optional>

// Takes a timed note: key, tone length in milliseconds and the server's microsecond it sounds at.
// Until the room's clock is known the note waits for it: played as it came, it would sound a lead
// early (a client joining mid-song hears from the song before from the clock).
void queueTimedTone(int16_t key, int16_t length, uint32_t serverMicros);

// Hands the speaker every tone whose moment is near (a tone placed on a running sound stream is
// written ahead of it); returns the nanoseconds until the next one is near, or -1 when none waits
// or the room's clock is not known yet.
int64_t playNearTimedTones();

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
