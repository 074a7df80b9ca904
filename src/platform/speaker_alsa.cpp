#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/speaker_backend.h"
#include "platform/speaker_wave.h"
#include "platform/stream_clock.h"

namespace {

// The PCM of the whole process: opening it again for each tone would cost the tone's start.
snd_pcm_t *alsaPcm = nullptr;
// A device that plays in real time keeps one stream running from the moment it is opened, fed
// with silence between tones, so no tone waits for the stream to start. One that takes samples at
// once (a file, the null device) is drained after each tone instead, which also hands a file its
// last samples.
bool pacedDevice = false;
snd_pcm_uframes_t bufferFrames = 0;

// The stream's own timeline (platform/stream_clock.h): timed tones are placed on it by frame, so
// two tones are apart exactly as their moments are.
int64_t framesWritten = 0;
// Where each reading of the stream's clock is written (monotonic nanoseconds, frames written,
// frames queued) when TONECAST_STREAM_READINGS names a file: how a sound server reports its
// stream, recorded by the listening bench for the unit tests.
FILE *readingsLog = nullptr;
// Set when the stream ran dry and starts again with the next frame: its queue is empty until
// topped up, and its timeline is read afresh.
bool streamRestarted = false;
// Set once a take-back has been found to give nothing back: a plugin that hands each frame on as it
// is written (the pulse plugin) only moves its own pointer, and plays the frames all the same.
bool takeBackIgnored = false;

// Room for the longest lead and a chunk of a tone beyond it.
constexpr unsigned BUFFER_MICROSECONDS = 100000;
// The device reports what it has taken in steps of a period (a sound server asks for more data
// each period), so a short period lets the queue be measured to within 2 ms. The report a sound
// server gives of its own delay is smoothed, and can sit several milliseconds off for seconds.
constexpr unsigned PERIOD_MICROSECONDS = 1000;
// Every tone is heard this long after it is written: the silence queued ahead of it is topped up
// to the lead first, so a tone starts the same time after its datagram however long the pause.
constexpr int LEAD_FRAMES = SPEAKER_RATE / 50;
// Between tones the queued silence is topped up to the lead whenever it has fallen below this; the
// rest is the time the process may be late to its wakeup before the stream runs dry.
constexpr int LOW_FRAMES = SPEAKER_RATE / 100;
// Once tones come with their moment, each is placed on the stream's timeline however much is
// queued, so the queue can be deeper: a busy machine may then wake the process 25 ms late before
// the stream runs dry and its timeline is lost.
constexpr int TIMED_LEAD_FRAMES = SPEAKER_RATE / 25;
constexpr int TIMED_LOW_FRAMES = SPEAKER_RATE / 40;
int leadFrames = LEAD_FRAMES;
int lowFrames = LOW_FRAMES;
// In a room that plays live a tone, and the moment its end is moved to, may come only a live lead
// ahead. A tone given with about that little notice is written only this far ahead of the frame
// heard (0: in no such room), and so is what is silent when the lead is shorter than the timed
// queue. What a sound server has taken it plays, so a frame written is a frame kept.
int shallowFrames = 0;
bool silenceShallow = false;
// The notice less what may pass before the tone reaches the stream: its datagram's way, the loop's
// pass and the error of the stream's clock.
constexpr int64_t NOTICE_MARGIN_NANOS = 5 * NANOS_PER_MILLI;
constexpr int SHALLOWEST_FRAMES = SPEAKER_RATE * 6 / 1000;
// A tone given with no more than the live lead and this is taken as live (a song's is given well
// ahead: TIMED_TONE_HAND_OVER_NANOS).
constexpr int64_t LIVE_NOTICE_SLACK_NANOS = 10 * NANOS_PER_MILLI;
int64_t liveNoticeNanos = 0;
// A shallow stream is topped up whenever it is this much below its depth, so a late wakeup or a
// sound server's step (up to a PipeWire quantum, 5.3 ms) finds nearly all of it still queued.
constexpr int SHALLOW_STEP_FRAMES = SPEAKER_RATE * 2 / 1000;
// Whether the tone in writing is written only shallowFrames ahead.
bool toneShallow = false;
// Samples are made and written a chunk at a time, so a long tone needs no long buffer.
constexpr int CHUNK_FRAMES = 480;
// A timed tone is written as the stream makes room for it: its start at once, the rest between
// datagrams, so that the client's loop stays free to hear a silence while the tone sounds. Its
// frames from toneNextFrame on are still to be written.
SquareTone toneInWriting = {0, 0};
int64_t toneNextFrame = 0;
// The stream's frame at which the tone in writing begins.
int64_t toneFirstFrame = 0;

// ALSA reports its own failures on standard error; the program says what it means itself.
void quietAlsaError(const char *, int, const char *, int, const char *, ...) {}

// Signed 16-bit mono at the wave's rate (resampled by ALSA where the card cannot take it), with
// the buffer and period above or the nearest the device allows.
bool setHardwareParams() {
    snd_pcm_hw_params_t *params;
    snd_pcm_hw_params_alloca(&params);
    unsigned buffer = BUFFER_MICROSECONDS;
    unsigned period = PERIOD_MICROSECONDS;
    return snd_pcm_hw_params_any(alsaPcm, params) >= 0 &&
           snd_pcm_hw_params_set_rate_resample(alsaPcm, params, 1) >= 0 &&
           snd_pcm_hw_params_set_access(alsaPcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0 &&
           snd_pcm_hw_params_set_format(alsaPcm, params, SND_PCM_FORMAT_S16_LE) >= 0 &&
           snd_pcm_hw_params_set_channels(alsaPcm, params, 1) >= 0 &&
           snd_pcm_hw_params_set_rate(alsaPcm, params, SPEAKER_RATE, 0) >= 0 &&
           snd_pcm_hw_params_set_buffer_time_near(alsaPcm, params, &buffer, nullptr) >= 0 &&
           snd_pcm_hw_params_set_period_time_near(alsaPcm, params, &period, nullptr) >= 0 &&
           snd_pcm_hw_params(alsaPcm, params) >= 0 && snd_pcm_hw_params_get_buffer_size(params, &bufferFrames) >= 0;
}

// Playback starts with the first frame written rather than with a full buffer, so a tone
// shorter than the buffer still plays and the first sample is heard at once.
bool setSoftwareParams() {
    snd_pcm_sw_params_t *params;
    snd_pcm_sw_params_alloca(&params);
    if (snd_pcm_sw_params_current(alsaPcm, params) < 0 ||
        snd_pcm_sw_params_set_start_threshold(alsaPcm, params, 1) < 0) {
        return false;
    }
    // When the device runs dry it plays silence, not stale samples of the previous tone. Only a
    // refinement: a device that refuses it still plays the tones.
    snd_pcm_uframes_t boundary = 0;
    if (snd_pcm_sw_params_get_boundary(params, &boundary) == 0 &&
        snd_pcm_sw_params_set_silence_threshold(alsaPcm, params, 0) == 0) {
        snd_pcm_sw_params_set_silence_size(alsaPcm, params, boundary);
    }
    return snd_pcm_sw_params(alsaPcm, params) == 0;
}

// Writes all frames, recovering from an underrun or a suspend; false when the device fails.
bool writeFrames(const int16_t *samples, int count) {
    while (count > 0) {
        snd_pcm_sframes_t written = snd_pcm_writei(alsaPcm, samples, count);
        if (written < 0) {
            if (snd_pcm_recover(alsaPcm, static_cast<int>(written), 1) < 0) return false;
            restartStreamClock();
            streamRestarted = true;
            continue;
        }
        samples += written;
        count -= static_cast<int>(written);
        framesWritten += written;
    }
    return true;
}

bool writeSilence(int64_t count) {
    static const int16_t SILENCE[CHUNK_FRAMES] = {};
    for (int64_t left = count; left > 0; left -= CHUNK_FRAMES) {
        if (!writeFrames(SILENCE, static_cast<int>(std::min<int64_t>(left, CHUNK_FRAMES)))) return false;
    }
    return true;
}

// Frames written but not yet taken by the device; 0 when it cannot tell.
int queuedFrames() {
    const snd_pcm_sframes_t avail = snd_pcm_avail(alsaPcm);
    if (avail < 0) return 0;
    const snd_pcm_sframes_t queued = static_cast<snd_pcm_sframes_t>(bufferFrames) - avail;
    return static_cast<int>(std::clamp<snd_pcm_sframes_t>(queued, 0, SPEAKER_RATE));
}

void readStreamStart() {
    const int64_t now = monotonicNanos();
    const int queued = queuedFrames();
    readStreamClock(now, framesWritten, queued, SPEAKER_RATE);
    if (readingsLog != nullptr) {
        fprintf(readingsLog, "%lld %lld %d\n", static_cast<long long>(now), static_cast<long long>(framesWritten),
                queued);
    }
}

void topUpToLead() {
    const int queued = queuedFrames();
    if (queued < leadFrames) writeSilence(leadFrames - queued);
}

// Writes the tone in writing up to (not including) its frame `end`, or to its own end.
void writeToneUpTo(int64_t end) {
    int16_t chunk[CHUNK_FRAMES];
    const int64_t last = std::min(end, toneInWriting.frames);
    while (toneNextFrame < last && !stopRequested()) {
        const int count = static_cast<int>(std::min<int64_t>(CHUNK_FRAMES, last - toneNextFrame));
        fillSquareWave(toneInWriting, toneNextFrame, chunk, count);
        if (!writeFrames(chunk, count)) break;
        toneNextFrame += count;
    }
}

// The stream's frame heard at the moment (monotonic nanoseconds).
int64_t streamFrameAt(int64_t nanos) {
    return (nanos - streamStartAt(nanos)) * SPEAKER_RATE / NANOS_PER_SECOND;
}

// What the stream plays before a frame written now.
int64_t framesAhead() {
    return framesWritten - streamFrameAt(monotonicNanos());
}

// What a shallow stream may still take: its depth less what is ahead of the frame heard, and no
// more than its depth, so that a stream that ran dry, which its clock tells only after a while, is
// not handed the whole time it was dry. The queue the device reports is no bound: through the pulse
// plugin it is what the sound server has asked for, which at this depth may stand still while the
// stream runs down.
int64_t shallowRoom() {
    return std::min<int64_t>(shallowFrames - framesAhead(), shallowFrames);
}

// As much of the tone in writing as the stream has room for without waiting, a shallow one no
// further than its depth; a device that takes samples at once has room for all of it.
void writeToneIntoRoom() {
    if (!pacedDevice) {
        writeToneUpTo(toneInWriting.frames);
        return;
    }
    // A stream that ran dry reports an error here; a chunk written to it recovers it.
    const snd_pcm_sframes_t avail = snd_pcm_avail(alsaPcm);
    int64_t room = avail < 0 ? CHUNK_FRAMES : avail;
    if (toneShallow) room = std::min(room, shallowRoom());
    writeToneUpTo(toneNextFrame + room);
}

bool toneBeingWritten() {
    return toneNextFrame < toneInWriting.frames;
}

// Frames the device holds and has not played, or -1 when it cannot tell.
snd_pcm_sframes_t deviceDelay() {
    snd_pcm_sframes_t delay = 0;
    return snd_pcm_delay(alsaPcm, &delay) < 0 ? -1 : delay;
}

// Takes back what of the tone in writing lies from its frame `frame` on, as far as the device lets
// it take back frames it has not played yet, leaving it a millisecond it may be taking now. Only
// while nothing follows the tone on the stream.
void takeToneBackTo(int64_t frame) {
    if (!pacedDevice || takeBackIgnored || framesWritten != toneFirstFrame + toneNextFrame || toneNextFrame <= frame)
        return;
    const int64_t wanted = std::min<int64_t>(toneNextFrame - frame, snd_pcm_rewindable(alsaPcm) - RAMP_FRAMES);
    if (wanted <= 0) return;
    const snd_pcm_sframes_t before = deviceDelay();
    const snd_pcm_sframes_t rewound = snd_pcm_rewind(alsaPcm, static_cast<snd_pcm_uframes_t>(wanted));
    if (rewound <= 0) return;
    // The device's own count of what it holds tells whether the frames came back; half of them is a
    // clear margin over what it played between the two readings. If not, the pointer goes forward
    // again, so that the stream's timeline stays as written.
    const snd_pcm_sframes_t after = deviceDelay();
    if (before >= 0 && after >= 0 && before - after < rewound / 2) {
        snd_pcm_forward(alsaPcm, static_cast<snd_pcm_uframes_t>(rewound));
        takeBackIgnored = true;
        return;
    }
    framesWritten -= rewound;
    toneNextFrame -= rewound;
}

// A tone whose ramp down is not written yet is carried on by writing on; one cut shorter is ended
// at the moment where the stream can still take back what of it follows, else as soon after as
// its ramp down can be written.
bool moveAlsaToneEnd(int64_t endNanos) {
    const int64_t end = streamFrameAt(endNanos) - toneFirstFrame;
    if (end >= toneInWriting.frames) {
        if (toneInWriting.frames - toneNextFrame < RAMP_FRAMES) return false;
        toneInWriting.frames = end;
        return true;
    }
    takeToneBackTo(end - RAMP_FRAMES);
    const int64_t cut = std::max(end, toneNextFrame + RAMP_FRAMES);
    if (cut >= toneInWriting.frames) return false;
    toneInWriting.frames = cut;
    return true;
}

// Frame 0 of the stream is the first written now; until the device has taken a frame the stream
// is taken to start now.
void startStream(int lead) {
    framesWritten = 0;
    const int64_t started = monotonicNanos();
    writeSilence(lead);
    fixStreamStart(started);
}

bool openAlsaSpeaker() {
    snd_lib_error_set_handler(quietAlsaError);
    // Opened without blocking: a raw device that another program holds would otherwise keep the
    // open waiting until that program lets go. Busy, it falls through to the next backend; opened,
    // its writes block as usual.
    if (snd_pcm_open(&alsaPcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
        alsaPcm = nullptr;
        return false;
    }
    if (snd_pcm_nonblock(alsaPcm, 0) < 0 || !setHardwareParams() || !setSoftwareParams()) {
        snd_pcm_close(alsaPcm);
        alsaPcm = nullptr;
        return false;
    }
    const char *readingsPath = getenv("TONECAST_STREAM_READINGS");
    if (readingsPath != nullptr) readingsLog = fopen(readingsPath, "w");
    // The stream starts now, with the lead of silence; a device still holding it plays in real
    // time. A device that takes samples at once keeps the timeline it opened with.
    startStream(LEAD_FRAMES);
    pacedDevice = queuedFrames() > LEAD_FRAMES / 2;
    if (pacedDevice) readStreamStart();
    return true;
}

void playAlsaTone(int frequency, int milliseconds) {
    writeToneUpTo(toneInWriting.frames);
    const Deadline deadline = deadlineAfterMs(milliseconds);
    if (pacedDevice) topUpToLead();
    const SquareTone tone = {frequency, toneFrames(milliseconds)};
    int16_t chunk[CHUNK_FRAMES];
    for (int64_t first = 0; first < tone.frames && !stopRequested(); first += CHUNK_FRAMES) {
        const int count = static_cast<int>(std::min<int64_t>(CHUNK_FRAMES, tone.frames - first));
        fillSquareWave(tone, first, chunk, count);
        if (!writeFrames(chunk, count)) break;
    }
    if (!pacedDevice) {
        // Draining hands every sample on (a file device writes its last samples only then); the
        // clock covers a device that takes samples faster than real time.
        snd_pcm_drain(alsaPcm);
        snd_pcm_prepare(alsaPcm);
    }
    // The tone's end is still queued, the lead's length behind the clock.
    sleepUntil(deadline);
}

// A file holds every timed tone at the frame of its moment on the timeline it opened with.
void placeAlsaTone(int frequency, int milliseconds, int64_t startNanos) {
    // One tone at a time: the rest of the one before goes first, whole.
    writeToneUpTo(toneInWriting.frames);
    if (!silenceShallow) {
        leadFrames = TIMED_LEAD_FRAMES;
        lowFrames = TIMED_LOW_FRAMES;
    }
    if (pacedDevice) {
        if (streamRestarted && queuedFrames() < lowFrames) topUpToLead();
        streamRestarted = false;
        readStreamStart();
    }
    const int64_t first = streamFrameAt(startNanos);
    if (!writeSilence(first - framesWritten)) return;
    toneShallow = shallowFrames > 0 && startNanos - monotonicNanos() < liveNoticeNanos + LIVE_NOTICE_SLACK_NANOS;
    toneInWriting = {frequency, toneFrames(milliseconds)};
    toneFirstFrame = first;
    // What of the tone lies before the frames still to be written was due in the past.
    toneNextFrame = std::max<int64_t>(framesWritten - first, 0);
    writeToneIntoRoom();
}

// A shallow stream, silent or in a shallow tone, is kept to its depth on its own timeline.
int keepShallowStreamRunning() {
    if (toneBeingWritten()) {
        writeToneIntoRoom();
    } else if (shallowRoom() > SHALLOW_STEP_FRAMES) {
        writeSilence(shallowRoom());
    }
    // Woken again once a step has been played, at the soonest in a millisecond.
    return static_cast<int>(std::max<int64_t>(SHALLOW_STEP_FRAMES - shallowRoom(), SPEAKER_RATE / 1000) * 1000 /
                            SPEAKER_RATE);
}

int keepAlsaStreamRunning() {
    if (!pacedDevice) return -1;
    readStreamStart();
    if (toneBeingWritten() ? toneShallow : silenceShallow) return keepShallowStreamRunning();
    // A tone in writing keeps the queue at least half full: a loop busy with datagrams, or a busy
    // machine, must not let the stream run dry in the middle of it.
    const int low = toneBeingWritten() ? static_cast<int>(bufferFrames / 2) : lowFrames;
    if (toneBeingWritten()) {
        writeToneIntoRoom();
    } else if (queuedFrames() < lowFrames) {
        topUpToLead();
    }
    // At least a millisecond: a device reports what it has taken in steps, and until the next step
    // the queue reads the same, so waking sooner would only spin.
    return std::max(queuedFrames() - low, SPEAKER_RATE / 1000) * 1000 / SPEAKER_RATE;
}

// From the notice on, live tones are kept shallow, and so is what is silent where the notice is
// shorter than the timed queue: a process held up longer than that then lets the stream run dry,
// and the sound server plays the rest later, which is why only a room with no song tells a lead.
void expectAlsaNotice(int64_t noticeNanos) {
    const int64_t frames = (noticeNanos - NOTICE_MARGIN_NANOS) * SPEAKER_RATE / NANOS_PER_SECOND;
    shallowFrames = static_cast<int>(std::clamp<int64_t>(frames, SHALLOWEST_FRAMES, TIMED_LEAD_FRAMES));
    liveNoticeNanos = noticeNanos;
    silenceShallow = shallowFrames < TIMED_LEAD_FRAMES;
    if (silenceShallow) {
        leadFrames = shallowFrames;
        lowFrames = shallowFrames - SHALLOW_STEP_FRAMES;
    }
}

// What the stream holds is dropped, the tone in writing with it, and the stream starts again as
// one just opened. A device that takes samples at once has taken them all already.
void silenceAlsaSpeaker() {
    toneInWriting = {0, 0};
    toneNextFrame = 0;
    if (!pacedDevice) return;
    snd_pcm_drop(alsaPcm);
    snd_pcm_prepare(alsaPcm);
    startStream(leadFrames);
    readStreamStart();
}

void closeAlsaSpeaker() {
    // The end of the last tone is played out, unless the process was asked to stop.
    writeToneUpTo(toneInWriting.frames);
    if (stopRequested()) {
        snd_pcm_drop(alsaPcm);
    } else {
        snd_pcm_drain(alsaPcm);
    }
    snd_pcm_close(alsaPcm);
    alsaPcm = nullptr;
    if (readingsLog != nullptr) fclose(readingsLog);
    readingsLog = nullptr;
}

}  // namespace

const SpeakerBackend ALSA_SPEAKER = {openAlsaSpeaker, playAlsaTone,       keepAlsaStreamRunning, closeAlsaSpeaker,
                                     placeAlsaTone,   silenceAlsaSpeaker, moveAlsaToneEnd,       expectAlsaNotice};
