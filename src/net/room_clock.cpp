#include "net/room_clock.h"

#include <algorithm>
#include <cmath>
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

// Replies are matched to the requests they answer. A request unanswered after this many more have
// gone (4 seconds at four a second, a third of a second in the burst) is forgotten: its reply,
// were it still to come, would have been held up too long to say much.
constexpr int OUTSTANDING_REQUESTS = 16;

// An exchange is fast when its round trip is within twice the shortest kept and a millisecond:
// its offset is then as good as the fit's, so it can tell whether the server's clock stepped.
constexpr double FAST_ROUND_TRIPS = 2;
constexpr int64_t FAST_MARGIN_NANOS = 1000000;
// A fast exchange disagrees with the fit when its offset is off by more than four round trips
// and 2 ms: a delay on the way moves an offset by half a round trip at most, and the fit's own
// error and drift over a minute stay within the margin.
constexpr int64_t DISAGREEING_ROUND_TRIPS = 4;
constexpr int64_t DISAGREEING_MARGIN_NANOS = 2000000;
// This many disagreeing fast exchanges in a row are a step of the clocks, not a stray reply:
// the fit starts again from them.
constexpr int STEP_EXCHANGES = 3;

struct Exchange {
    int64_t localNanos;   // the middle of the round trip on this host's clock
    int64_t offsetNanos;  // the server's clock (unwrapped) less this host's at that moment
    int64_t roundTripNanos;
};

Exchange kept[KEPT_EXCHANGES];
int keptCount = 0;
int newest = -1;

// Fast exchanges that disagreed with the fit, in a row: held aside, as the fit would otherwise
// move for a single stray one, until they are enough to show a step.
Exchange disagreeing[STEP_EXCHANGES];
int disagreeingCount = 0;

struct Request {
    int64_t sentNanos;
    uint32_t stamp;
    bool unanswered;
};
Request requests[OUTSTANDING_REQUESTS];
int nextRequest = 0;  // where the next request sent is written, over the oldest

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
// through many of them comes close to the truth. Never 0: round trips are never negative.
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
        // No slope and no noise (a perfectly flat line) is no drift, where 0/0 would be NaN.
        const double strength = slope * slope + SHRINK * uncertainty;
        if (strength > 0 && std::isfinite(strength)) {
            drift = std::clamp(slope * (slope * slope / strength), -MOST_DRIFT, MOST_DRIFT);
        }
    }
    baseTime = reference + static_cast<int64_t>(meanT);
    baseOffset = meanO;
}

void keep(const Exchange &exchange) {
    newest = (newest + 1) % KEPT_EXCHANGES;
    kept[newest] = exchange;
    keptCount = std::min(keptCount + 1, KEPT_EXCHANGES);
}

// The server's clock in microseconds, unwrapped: the reading nearest the one expected at local.
int64_t unwrappedMicros(uint32_t serverMicros, int64_t localNanos) {
    const int64_t expected = (localNanos + static_cast<int64_t>(offsetAt(localNanos))) / 1000;
    return expected + static_cast<int32_t>(serverMicros - static_cast<uint32_t>(expected));
}

bool isFast(const Exchange &exchange) {
    const auto fastest = static_cast<double>(shortestRoundTrip());
    return static_cast<double>(exchange.roundTripNanos) <= FAST_ROUND_TRIPS * fastest + FAST_MARGIN_NANOS;
}

bool disagrees(const Exchange &exchange) {
    const double off = std::abs(static_cast<double>(exchange.offsetNanos) - offsetAt(exchange.localNanos));
    return off > static_cast<double>(DISAGREEING_ROUND_TRIPS * exchange.roundTripNanos + DISAGREEING_MARGIN_NANOS);
}

void forgetExchanges() {
    keptCount = 0;
    newest = -1;
    disagreeingCount = 0;
}

// One exchange: the request left at sentNanos, and its reply, carrying the server's microsecond
// serverMicros, came back at receivedNanos.
void addClockExchange(int64_t sentNanos, uint32_t serverMicros, int64_t receivedNanos) {
    const int64_t middle = sentNanos + (receivedNanos - sentNanos) / 2;
    const int64_t roundTrip = receivedNanos - sentNanos;
    // The first reading is taken as it is; every later one is unwrapped near the estimate.
    if (keptCount == 0) {
        keep({middle, int64_t{serverMicros} * 1000 - middle, roundTrip});
        fit();
        return;
    }
    const Exchange exchange = {middle, unwrappedMicros(serverMicros, middle) * 1000 - middle, roundTrip};
    if (isFast(exchange) && disagrees(exchange)) {
        disagreeing[disagreeingCount++] = exchange;
        if (disagreeingCount < STEP_EXCHANGES) return;
        forgetExchanges();
        for (const Exchange &stepped : disagreeing) keep(stepped);
    } else {
        if (isFast(exchange)) disagreeingCount = 0;
        keep(exchange);
    }
    fit();
}

}  // namespace

void resetRoomClock() {
    forgetExchanges();
    for (Request &request : requests) request.unanswered = false;
}

void recordClockRequest(uint32_t stamp, int64_t sentNanos) {
    requests[nextRequest] = {sentNanos, stamp, true};
    nextRequest = (nextRequest + 1) % OUTSTANDING_REQUESTS;
}

bool addClockReply(uint32_t echoedStamp, uint32_t serverMicros, int64_t receivedNanos) {
    for (Request &request : requests) {
        // A reply before its request left is no reply to it (the clock is read in one order).
        if (!request.unanswered || request.stamp != echoedStamp || request.sentNanos > receivedNanos) continue;
        request.unanswered = false;
        addClockExchange(request.sentNanos, serverMicros, receivedNanos);
        return true;
    }
    return false;
}

bool roomClockKnown() {
    return keptCount > 0;
}

int64_t localNanosOf(uint32_t serverMicros, int64_t nowNanos) {
    const int64_t serverNanos = unwrappedMicros(serverMicros, nowNanos) * 1000;
    // Solves t + offset(t) = serverNanos for t, measured from the fit's base; 1 + drift is near 1.
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

uint32_t serverMicros(int64_t monotonicNanos) {
    return static_cast<uint32_t>(monotonicNanos / 1000);
}
