#pragma once

// Plays a tone of the given frequency for the given milliseconds and returns when it has ended, or
// at once when a stop is requested. A frequency outside 20 to 20000 Hz, or a length of 0 or less,
// plays nothing and returns at once. The backend (the first of the PC speaker, ALSA and silence
// that opens) is chosen once, at the first call.
void beep(int frequency, int milliseconds);

// Whether beep would play the tone at all: 20 to 20000 Hz and a length of at least 1 ms.
bool isPlayableTone(int frequency, int milliseconds);
