#pragma once

// Equal temperament with key 69 at 440 Hz, truncated to whole hertz. Any 16-bit key is safe:
// keys far below the audible range give 0, and frequencies too large for an int give INT_MAX.
int keyToFrequency(int key);
