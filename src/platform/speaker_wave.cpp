#include "platform/speaker_wave.h"

#include <algorithm>

int64_t toneFrames(int milliseconds) {
    return static_cast<int64_t>(milliseconds) * SPEAKER_RATE / 1000;
}

void fillSquareWave(SquareTone tone, int64_t first, int16_t *out, int count) {
    // Short tones share their frames between the two ramps.
    const int64_t ramp = std::min<int64_t>(RAMP_FRAMES, tone.frames / 2);
    for (int i = 0; i < count; i++) {
        const int64_t frame = first + i;
        // Frames from the nearer edge, counting the edge frame as 1, so the first and last
        // samples are small but not zero and the tone's extent stays visible in the samples.
        const int64_t fromEdge = std::min(frame + 1, tone.frames - frame);
        int64_t level = TONE_AMPLITUDE;
        if (fromEdge <= ramp) level = level * fromEdge / (ramp + 1);
        // Integer phase: the first half of every period is high, so each period begins with a
        // rising edge and the wave never drifts against the sample clock.
        const int64_t phase = frame * tone.frequency % SPEAKER_RATE;
        out[i] = static_cast<int16_t>(phase < SPEAKER_RATE / 2 ? level : -level);
    }
}
