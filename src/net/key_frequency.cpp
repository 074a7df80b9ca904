#include "net/key_frequency.h"

#include <climits>
#include <cmath>

int keyToFrequency(int key) {
    double hertz = 6.875 * std::pow(2.0, (key + 3) / 12.0);
    // Converting a double beyond the int range (up to infinity for the highest keys) is undefined.
    if (hertz >= static_cast<double>(INT_MAX)) return INT_MAX;
    return static_cast<int>(hertz);
}
