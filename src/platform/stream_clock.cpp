#include "platform/stream_clock.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "platform/clock.h"

namespace {

// Long enough that the readings of a window catch a step of any sound server (PulseAudio's and
// PipeWire's are 2 to 43 ms), short enough that a clock 0.2 % off moves the start by less than
// half a millisecond within one.
constexpr int64_t WINDOW_NANOS = 200 * NANOS_PER_MILLI;
// The line is drawn through the last 4 s: enough windows that one whose readings all came late
// (the process was kept from running) barely moves it.
constexpr size_t WINDOWS_KEPT = 20;
// A slope needs windows spread over this much.
constexpr int64_t SLOPE_SPAN_NANOS = 400 * NANOS_PER_MILLI;
// A window's low further above the line than this was read late throughout, and is left out of
// the line's second drawing.
constexpr int64_t LATE_LOW_NANOS = 500000;
// No device's clock runs this far off: a steeper line is drawn from readings gone wrong.
constexpr double STEEPEST_SLOPE = 0.01;
// Two windows in a row this far from the line on the same side: the stream has moved (it ran dry
// and played on later, or the sound server changed its own delay), and the line starts afresh
// from them. One such window alone is a process kept from running.
constexpr int64_t MOVED_NANOS = 5 * NANOS_PER_MILLI;

struct WindowLow {
    int64_t at;     // when the lowest reading was taken
    int64_t start;  // that reading
};

std::array<WindowLow, WINDOWS_KEPT> windows;
size_t windowCount = 0;  // the newest last
bool windowOpen = false;
int64_t windowEnd = 0;
WindowLow openLow = {0, 0};
int movedSide = 0;  // the side the previous window left the line on, or 0
WindowLow movedLow = {0, 0};

// start = anchorStart + slope * (moment - anchorAt)
int64_t anchorAt = 0;
int64_t anchorStart = 0;
double slope = 0;
bool startKnown = false;  // fixed, or read since the stream started afresh

int64_t lineAt(int64_t moment) {
    return anchorStart + static_cast<int64_t>(slope * static_cast<double>(moment - anchorAt));
}

// Least squares through the windows' lows, leaving out those above the given line by more than
// LATE_LOW_NANOS when one is given.
void fitLine(bool leaveOutLate) {
    const int64_t originAt = windows[0].at;
    const int64_t originStart = windows[0].start;
    double n = 0;
    double sumX = 0;
    double sumY = 0;
    double sumXX = 0;
    double sumXY = 0;
    for (size_t i = 0; i < windowCount; ++i) {
        if (leaveOutLate && windows[i].start - lineAt(windows[i].at) > LATE_LOW_NANOS) continue;
        const auto x = static_cast<double>(windows[i].at - originAt);
        const auto y = static_cast<double>(windows[i].start - originStart);
        n += 1;
        sumX += x;
        sumY += y;
        sumXX += x * x;
        sumXY += x * y;
    }
    const double spread = n * sumXX - sumX * sumX;
    const bool sloped = windows[windowCount - 1].at - originAt >= SLOPE_SPAN_NANOS && n >= 3 && spread > 0;
    // Until then the stream keeps the rate it had: running dry does not change a device's clock.
    if (sloped) slope = std::clamp((n * sumXY - sumX * sumY) / spread, -STEEPEST_SLOPE, STEEPEST_SLOPE);
    const double meanX = sumX / n;
    const double meanY = sumY / n;
    anchorAt = originAt + static_cast<int64_t>(meanX);
    anchorStart = originStart + static_cast<int64_t>(meanY);
}

// The slope from the windows' lows, then the line lowered to the lowest of them: a reading is
// never early, so the lowest is the one that caught the low edge best.
void drawLine() {
    fitLine(false);
    fitLine(true);
    int64_t lowest = 0;
    for (size_t i = 0; i < windowCount; ++i) lowest = std::min(lowest, windows[i].start - lineAt(windows[i].at));
    anchorStart += lowest;
}

void keepWindow(const WindowLow &low) {
    const int64_t away = windowCount > 0 ? low.start - lineAt(low.at) : 0;
    const int side = std::llabs(away) > MOVED_NANOS ? (away > 0 ? 1 : -1) : 0;
    if (side != 0 && side != movedSide) {
        // Left out unless the next window leaves the line the same way.
        movedSide = side;
        movedLow = low;
        return;
    }
    if (side != 0) {
        // Moved: only this window and the one before it tell where the stream is now.
        windows[0] = movedLow;
        windowCount = 1;
    }
    movedSide = 0;
    if (windowCount == WINDOWS_KEPT) {
        std::move(windows.begin() + 1, windows.end(), windows.begin());
        --windowCount;
    }
    windows[windowCount++] = low;
    drawLine();
}

}  // namespace

void restartStreamClock() {
    windowCount = 0;
    windowOpen = false;
    movedSide = 0;
    startKnown = false;
}

void fixStreamStart(int64_t startNanos) {
    restartStreamClock();
    anchorAt = startNanos;
    anchorStart = startNanos;
    slope = 0;
    startKnown = true;
}

void readStreamClock(int64_t now, int64_t framesWritten, int64_t queuedFrames, int rate) {
    // Until the device has taken a frame the stream has not started: it starts later than now.
    if (queuedFrames >= framesWritten) return;
    const WindowLow reading = {now, now + (queuedFrames - framesWritten) * NANOS_PER_SECOND / rate};
    if (windowOpen && now >= windowEnd) {
        keepWindow(openLow);
        windowOpen = false;
    }
    if (!windowOpen) {
        windowOpen = true;
        windowEnd = now + WINDOW_NANOS;
        openLow = reading;
    } else if (reading.start < openLow.start) {
        openLow = reading;
    }
    // Until a window has closed, the lowest reading yet; after, no reading is early, so one below
    // the line moves it down at once.
    if (windowCount == 0) {
        anchorAt = openLow.at;
        anchorStart = openLow.start;
        startKnown = true;
    } else if (reading.start < lineAt(now)) {
        anchorStart -= lineAt(now) - reading.start;
    }
}

int64_t streamStartAt(int64_t moment) {
    return startKnown ? lineAt(moment) : moment;
}
