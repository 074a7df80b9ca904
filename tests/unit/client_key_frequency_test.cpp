#include <climits>

#include <gtest/gtest.h>

#include "net/protocol.h"

TEST(ClientKeyFrequency, EqualTemperamentTruncatedToWholeHertz) {
    // Exact octaves of A and keys whose frequency lies just above a whole number: a single
    // precision or rounding conversion, or an integer division of the exponent, gets some wrong.
    const struct {
        int key;
        int hertz;
    } cases[] = {{69, 440}, {57, 220}, {81, 880},   {93, 1760},  {21, 27},     {60, 261}, {72, 523},
                 {0, 8},    {1, 8},    {108, 4186}, {100, 2637}, {127, 12543}, {-3, 6},   {117, 7040}};
    for (const auto &c : cases) EXPECT_EQ(keyToFrequency(c.key), c.hertz) << "key " << c.key;
}

TEST(ClientKeyFrequency, EverySixteenBitKeyIsSafeAndOrdered) {
    // Run under the sanitizers this also proves no key converts an out-of-range double.
    int previous = keyToFrequency(-32768);
    EXPECT_EQ(previous, 0);
    for (int key = -32767; key <= 32767; key++) {
        int hertz = keyToFrequency(key);
        ASSERT_GE(hertz, previous) << "key " << key;
        previous = hertz;
    }
    EXPECT_EQ(keyToFrequency(32767), INT_MAX);
    // Beyond the speaker's 20 kHz long before the int range ends, and still exact up to there.
    EXPECT_EQ(keyToFrequency(136), 21096);
    EXPECT_EQ(keyToFrequency(135), 19912);
}
