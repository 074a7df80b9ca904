#pragma once
#include <cstdint>

// Plays a tone of the given frequency for the given milliseconds and returns when it has ended, or
// at once when a stop is requested. A frequency outside 20 to 20000 Hz, or a length of 0 or less,
// plays nothing and returns at once. The backend (the first of the PC speaker, ALSA and silence
// that opens) is chosen once, by prepareSpeaker or else at the first call.
void beep(int frequency, int milliseconds);

// A tone with a moment of its own is handed to beepAt this long before it: a sound stream is fed
// ahead of what is heard, and the tone must reach it before the silence ahead of the moment has.
constexpr int64_t TIMED_TONE_HAND_OVER_NANOS = 80000000;

// Plays a tone whose first sample is heard at the moment startNanos on the monotonic clock, for
// what is left of it once that has passed, and nothing once it is over. On a sound stream the tone
// is placed at the frame heard at that moment, so the process's own wakeup does not count; other
// devices start it from a precise timer. Returns once the device has all of it (on a stream,
// before it is heard) or a stop is requested. The same tones as beep are refused.
void beepAt(int frequency, int milliseconds, int64_t startNanos);

// Tones may come this little ahead of their moment, and so may the moment a tone's end is moved to
// (a room that plays live). A sound stream then writes what is silent, and any tone given with less
// notice than it usually keeps written ahead, only a little less than this ahead of what is heard,
// so that such a tone finds its start, and its end, not written yet. The last call holds.
void expectTonesAhead(int64_t noticeNanos);

// Moves the end of the tone placed last by beepAt, sounding or still ahead of its moment, to the
// moment endNanos on the monotonic clock: a later end carries the tone on as one unbroken wave, an
// earlier one ends it there, ramped down as any tone's end. Returns false where the tone cannot be
// moved: it is over or has been ended already on the stream, or the device is sounded from a timer
// (the PC speaker, Windows' Beep), which holds the process until its tone has ended.
bool moveToneEnd(int64_t endNanos);

// Stops at once the tone sounding and those placed ahead of their moment on a sound stream, which
// plays on for the tones that follow. The PC speaker and Windows' Beep hold the process until their
// tone has ended, so by the time this is called they are silent already.
void silenceSpeaker();

// Chooses and opens the backend now, so that the first tone finds its device ready (the silent
// backend says so now). Later calls do nothing.
void prepareSpeaker();

// Keeps the device's stream running between tones; returns the milliseconds within which it wants
// to be called again, or -1 when it never needs to be.
int keepSpeakerRunning();

// Lets the last tone play out and closes the device; called once, as the process ends.
void closeSpeaker();

// Whether beep would play the tone at all: 20 to 20000 Hz and a length of at least 1 ms.
bool isPlayableTone(int frequency, int milliseconds);
