#pragma once
// The tones a client has been given ahead, each with the moment it sounds on the server's clock,
// kept in order until that moment comes near; then each is handed to the speaker, which places it.
#include <cstdint>

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

// Tones that came after their moment: played for what was left, or not at all.
struct LateTones {
    int shortened;
    int missed;
};
LateTones lateTones();
