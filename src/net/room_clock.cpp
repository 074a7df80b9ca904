#include "net/room_clock.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

// About a minute of exchanges at four a second: long enough to see a drift through a jittery
// link's noise, short enough to follow it as the crystals warm up.
constexpr int KEPT_EXCHANGES = 256;

// The drift is estimated only over exchanges this far apart; before that the clocks are taken to
// run alike, which costs well under a millisecond over the first seconds (crystals drift tens of
// parts per million), while a slope fitted over a shorter span of a jittery link can be hundreds.
constexpr int64_t DRIFT_SPAN_NANOS = 10000000000;
// Real crystals are within a few tens of parts per million; beyond this a fit is noise.
constexpr double MOST_DRIFT = 500e-6;
// A slope four times its standard error counts half.
constexpr double SHRINK = 16;

struct Exchange {
    int64_t localNanos;   // the middle of the round trip on this host's clock
    int64_t offsetNanos;  // the server's clock (unwrapped) less this host's at that moment
    int64_t roundTripNanos;
};

Exchange kept[KEPT_EXCHANGES];
int keptCount = 0;
int newest = -1;

// offset(t) = baseOffset + drift * (t - baseTime), fitted after each exchange.
int64_t baseTime = 0;
double baseOffset = 0;
double drift = 0;

double offsetAt(int64_t localNanos) {
    return baseOffset + drift * static_cast<double>(localNanos - baseTime);
}

int64_t shortestRoundTrip() {
    int64_t shortest = kept[0].roundTripNanos;
    for (int i = 1; i < keptCount; i++) shortest = std::min(shortest, kept[i].roundTripNanos);
    return shortest;
}

// How much an exchange counts. A delay on the way out or back moves an exchange's offset by half
// of it, so the faster an exchange, the less it can be off: each counts by the inverse square of
// its round trip, and one held up for long (a stall of the link, a client busy writing a tone)
// counts next to nothing. Where both ways are alike the rest err as much either way, so the fit
// through many of them comes close to the truth.
double weightOf(const Exchange &exchange) {
    const double roundTripMs = static_cast<double>(exchange.roundTripNanos) / 1e6 + 0.05;
    return 1.0 / (roundTripMs * roundTripMs);
}

// A straight line through the exchanges by weighted least squares; flat until they span enough
// time to tell a drift from the noise.
void fit() {
    const int64_t reference = kept[newest].localNanos;
    int64_t earliest = reference;
    double weights = 0;
    double sumT = 0;
    double sumO = 0;
    for (int i = 0; i < keptCount; i++) {
        const double weight = weightOf(kept[i]);
        earliest = std::min(earliest, kept[i].localNanos);
        weights += weight;
        sumT += weight * static_cast<double>(kept[i].localNanos - reference);
        sumO += weight * static_cast<double>(kept[i].offsetNanos);
    }
    const double meanT = sumT / weights;
    const double meanO = sumO / weights;
    double covariance = 0;
    double variance = 0;
    for (int i = 0; i < keptCount; i++) {
        const double t = static_cast<double>(kept[i].localNanos - reference) - meanT;
        covariance += weightOf(kept[i]) * t * (static_cast<double>(kept[i].offsetNanos) - meanO);
        variance += weightOf(kept[i]) * t * t;
    }
    drift = 0;
    if (reference - earliest >= DRIFT_SPAN_NANOS && keptCount > 2 && variance > 0) {
        const double slope = covariance / variance;
        double squares = 0;
        for (int i = 0; i < keptCount; i++) {
            const double t = static_cast<double>(kept[i].localNanos - reference) - meanT;
            const double residual = static_cast<double>(kept[i].offsetNanos) - meanO - slope * t;
            squares += weightOf(kept[i]) * residual * residual;
        }
        // A slope hardly larger than its own uncertainty is the noise of a jittery link, and
        // carried forward it would move every later note: it is shrunk towards none by how
        // uncertain it is, and a true drift, which grows clearer with every exchange, is kept.
        const double uncertainty = squares / (keptCount - 2) / variance;
        const double trusted = slope * slope / (slope * slope + SHRINK * uncertainty);
        drift = std::clamp(slope * trusted, -MOST_DRIFT, MOST_DRIFT);
    }
    baseTime = reference + static_cast<int64_t>(meanT);
    baseOffset = meanO;
}

// The server's clock in microseconds, unwrapped: the reading nearest the one expected at local.
int64_t unwrappedMicros(uint32_t serverMicros, int64_t localNanos) {
    const int64_t expected = (localNanos + static_cast<int64_t>(offsetAt(localNanos))) / 1000;
    return expected + static_cast<int32_t>(serverMicros - static_cast<uint32_t>(expected));
}

}  // namespace

void resetRoomClock() {
    keptCount = 0;
    newest = -1;
}

void addClockExchange(int64_t sentNanos, uint32_t serverMicros, int64_t receivedNanos) {
    const int64_t middle = sentNanos + (receivedNanos - sentNanos) / 2;
    // The first reading is taken as it is; every later one is unwrapped near the estimate.
    const int64_t micros = keptCount == 0 ? serverMicros : unwrappedMicros(serverMicros, middle);
    newest = (newest + 1) % KEPT_EXCHANGES;
    kept[newest] = {middle, micros * 1000 - middle, receivedNanos - sentNanos};
    keptCount = std::min(keptCount + 1, KEPT_EXCHANGES);
    fit();
}

bool roomClockKnown() {
    return keptCount > 0;
}

int64_t localNanosOf(uint32_t serverMicros, int64_t nowNanos) {
    const int64_t serverNanos = unwrappedMicros(serverMicros, nowNanos) * 1000;
    // Solves t + offset(t) = serverNanos for t, measured from the fit's base.
    const double fromBase = static_cast<double>(serverNanos - baseTime) - baseOffset;
    return baseTime + static_cast<int64_t>(fromBase / (1.0 + drift));
}

RoomClockEstimate roomClockEstimate() {
    RoomClockEstimate estimate = {0, 0, 0, keptCount};
    if (keptCount == 0) return estimate;
    estimate.offsetNanos = static_cast<int64_t>(offsetAt(kept[newest].localNanos));
    estimate.driftPpm = drift * 1e6;
    estimate.shortestRoundTripNanos = shortestRoundTrip();
    return estimate;
}
