#include <chrono>
#include <climits>

#include <gtest/gtest.h>

#include "platform/speaker.h"

TEST(SpeakerRange, OnlyAudibleFrequenciesAndPositiveLengthsArePlayable) {
    EXPECT_TRUE(isPlayableTone(20, 1));
    EXPECT_TRUE(isPlayableTone(20000, 1));
    EXPECT_TRUE(isPlayableTone(440, 32767));
    EXPECT_TRUE(isPlayableTone(440, INT_MAX));
    EXPECT_FALSE(isPlayableTone(19, 500));
    EXPECT_FALSE(isPlayableTone(20001, 500));
    EXPECT_FALSE(isPlayableTone(0, 500));
    EXPECT_FALSE(isPlayableTone(-440, 500));
    EXPECT_FALSE(isPlayableTone(INT_MAX, 500));
    EXPECT_FALSE(isPlayableTone(440, 0));
    EXPECT_FALSE(isPlayableTone(440, -1));
    EXPECT_FALSE(isPlayableTone(440, INT_MIN));
}

TEST(SpeakerRange, UnplayableTonesReturnAtOnceWithoutTouchingTheSpeaker) {
    testing::internal::CaptureStderr();
    const auto started = std::chrono::steady_clock::now();
    // A negative length must not turn into a tone of days, nor a frequency out of range into a
    // tone timed silently.
    beep(19, 1000);
    beep(20001, 1000);
    beep(INT_MAX, 1000);
    beep(500, 0);
    beep(500, -1);
    beep(500, INT_MIN);
    const auto took = std::chrono::steady_clock::now() - started;
    // No backend was chosen, so nothing was said about a missing speaker.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_LT(took, std::chrono::milliseconds(100));
}
