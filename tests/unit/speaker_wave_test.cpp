#include <climits>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "platform/speaker_wave.h"

namespace {

std::vector<int16_t> wholeTone(int frequency, int64_t frames) {
    std::vector<int16_t> samples(static_cast<size_t>(frames));
    fillSquareWave({frequency, frames}, 0, samples.data(), static_cast<int>(frames));
    return samples;
}

// Upward steps out of zero or below, the tone being preceded by silence.
int risingCrossings(const std::vector<int16_t> &samples) {
    int crossings = 0;
    int previous = 0;
    for (int16_t sample : samples) {
        if (previous <= 0 && sample > 0) crossings++;
        previous = sample;
    }
    return crossings;
}

}  // namespace

TEST(SpeakerWave, SpeakerTestToneIs250CyclesWithRampsAtBothEdges) {
    const std::vector<int16_t> tone = wholeTone(500, toneFrames(500));
    ASSERT_EQ(tone.size(), 24000u);
    EXPECT_EQ(risingCrossings(tone), 250);
    // 96 samples a period: the first 48 high, the next 48 low.
    EXPECT_GT(tone[100], 0);
    EXPECT_GT(tone[143], 0);
    EXPECT_LT(tone[144], 0);
    EXPECT_LT(tone[191], 0);
    EXPECT_GT(tone[192], 0);
    // Between the ramps every sample is at full amplitude.
    for (size_t i = RAMP_FRAMES; i < tone.size() - RAMP_FRAMES; i++) {
        ASSERT_EQ(std::abs(tone[i]), TONE_AMPLITUDE) << i;
    }
    // The ramps climb from nearly silent to nearly full, and no edge sample is a hard step.
    for (int i = 0; i < RAMP_FRAMES; i++) {
        const int rising = std::abs(tone[static_cast<size_t>(i)]);
        const int falling = std::abs(tone[tone.size() - 1 - static_cast<size_t>(i)]);
        ASSERT_GT(rising, 0) << i;
        ASSERT_LT(rising, TONE_AMPLITUDE) << i;
        ASSERT_EQ(rising, falling) << i;
        if (i > 0) {
            ASSERT_GT(rising, std::abs(tone[static_cast<size_t>(i - 1)])) << i;
        }
    }
    EXPECT_LE(std::abs(tone.front()), TONE_AMPLITUDE / RAMP_FRAMES);
}

TEST(SpeakerWave, FrequenciesThatDoNotDivideTheRateKeepTheirCycleCount) {
    // Ten seconds of 440 Hz is 109.09 samples a period; an accumulated rounding error would show.
    EXPECT_EQ(risingCrossings(wholeTone(440, toneFrames(10000))), 4400);
    EXPECT_EQ(risingCrossings(wholeTone(20, toneFrames(1000))), 20);
    EXPECT_EQ(risingCrossings(wholeTone(20000, toneFrames(1000))), 20000);
    EXPECT_EQ(risingCrossings(wholeTone(261, toneFrames(1000))), 261);
}

TEST(SpeakerWave, ChunksOfAnySizeJoinIntoTheSameWave) {
    const SquareTone tone = {441, toneFrames(250)};
    const std::vector<int16_t> whole = wholeTone(tone.frequency, tone.frames);
    for (int chunk : {1, 7, 1000, 1024, 11999}) {
        std::vector<int16_t> pieces(whole.size());
        for (int64_t first = 0; first < tone.frames; first += chunk) {
            const int count = static_cast<int>(std::min<int64_t>(chunk, tone.frames - first));
            fillSquareWave(tone, first, pieces.data() + first, count);
        }
        EXPECT_EQ(pieces, whole) << chunk;
    }
}

TEST(SpeakerWave, ShortTonesShareTheirFramesBetweenTheRamps) {
    for (int64_t frames : {1, 2, 3, 47, 48, 95, 96}) {
        const std::vector<int16_t> tone = wholeTone(1000, frames);
        for (size_t i = 0; i < tone.size(); i++) {
            ASSERT_NE(tone[i], 0) << frames << " " << i;
            ASSERT_LE(std::abs(tone[i]), TONE_AMPLITUDE) << frames << " " << i;
            // Symmetric ramps: the envelope mirrors around the middle.
            ASSERT_EQ(std::abs(tone[i]), std::abs(tone[tone.size() - 1 - i])) << frames << " " << i;
        }
    }
    // A 1 ms tone is all ramp: 24 frames up, 24 down, peaking below full amplitude.
    const std::vector<int16_t> shortest = wholeTone(1000, toneFrames(1));
    EXPECT_LT(std::abs(shortest[23]), TONE_AMPLITUDE);
    EXPECT_GT(std::abs(shortest[23]), std::abs(shortest[22]));
}

TEST(SpeakerWave, LengthsInFramesDoNotOverflow) {
    EXPECT_EQ(toneFrames(1), 48);
    EXPECT_EQ(toneFrames(500), 24000);
    EXPECT_EQ(toneFrames(32767), 1572816);
    EXPECT_EQ(toneFrames(INT_MAX), static_cast<int64_t>(INT_MAX) * 48);
    // Late frames of the longest tone still follow the wave: no overflow in the phase either.
    const SquareTone longest = {20000, toneFrames(INT_MAX)};
    int16_t late[3];
    fillSquareWave(longest, longest.frames / 2, late, 3);
    for (int16_t sample : late) EXPECT_EQ(std::abs(sample), TONE_AMPLITUDE);
}
