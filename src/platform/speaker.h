#pragma once

// Plays a tone of the given frequency for the given milliseconds and returns when it has ended, or
// at once when a stop is requested. A frequency outside 20 to 20000 Hz, or a length of 0 or less,
// plays nothing and returns at once. The backend (the first of the PC speaker, ALSA and silence
// that opens) is chosen once, by prepareSpeaker or else at the first call.
void beep(int frequency, int milliseconds);

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
