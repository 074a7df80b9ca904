#pragma once

// Opens ALSA's "default" PCM for the square wave, once, and keeps it open between tones.
// Returns false, having printed nothing, when there is no usable device.
bool openAlsaSpeaker();

// Plays the tone on the opened PCM and returns when it has been played, never before its
// length has passed on the clock (a device that does not pace itself, like ALSA's null device,
// takes the samples at once).
void playAlsaTone(int frequency, int milliseconds);
