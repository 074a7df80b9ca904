#pragma once
// The tones a client has been given ahead, each with the moment it sounds on the server's clock,
// kept in order until that moment comes near; then each is handed to the speaker, which places it.
#include <cstdint>

// Takes a timed note: key, tone length in milliseconds and the server's microsecond it sounds at.
void queueTimedTone(int16_t key, int16_t length, uint32_t serverMicros);

// Hands the speaker every tone whose moment is near (a tone placed on a running sound stream is
// written ahead of it); returns the nanoseconds until the next one is near, or -1 when none waits.
int64_t playNearTimedTones();

// Whether tones are still waiting to be handed to the speaker.
bool timedTonesWaiting();

// Tones that came after their moment: played for what was left, or not at all.
struct LateTones {
    int shortened;
    int missed;
};
LateTones lateTones();
