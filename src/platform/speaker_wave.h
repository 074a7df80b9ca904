#pragma once
#include <cstdint>

// The sound card plays the PC speaker's sound: a square wave, signed 16-bit, mono.
constexpr int SPEAKER_RATE = 48000;
// Loud enough to hear, with headroom so a square wave does not overwhelm the card's mixer.
constexpr int16_t TONE_AMPLITUDE = 8000;
// One millisecond of ramp at each edge keeps a tone from clicking as it starts and stops.
constexpr int RAMP_FRAMES = SPEAKER_RATE / 1000;

struct SquareTone {
    int frequency;   // hertz
    int64_t frames;  // the tone's whole length
};

// Frames in a tone of the given milliseconds; 64-bit so no length can overflow.
int64_t toneFrames(int milliseconds);

// Writes frames first .. first + count - 1 of the tone into out. Each sample depends only on its
// index, so a tone can be made in chunks of any size and still be one unbroken wave.
void fillSquareWave(SquareTone tone, int64_t first, int16_t *out, int count);
