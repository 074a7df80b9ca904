#include <alsa/asoundlib.h>

#include <algorithm>

#include "platform/clock.h"
#include "platform/speaker_backend.h"
#include "platform/speaker_wave.h"

namespace {

// The PCM of the whole process: opening it again for each tone would cost the tone's start.
snd_pcm_t *alsaPcm = nullptr;

// About 20 ms of buffer: short enough that a tone starts at once, long enough to ride out a
// scheduling delay of the writer.
constexpr unsigned LATENCY_MICROSECONDS = 20000;
// Samples are made and written a chunk at a time, so a long tone needs no long buffer.
constexpr int CHUNK_FRAMES = 1024;

// ALSA reports its own failures on standard error; the program says what it means itself.
void quietAlsaError(const char *, int, const char *, int, const char *, ...) {}

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
            continue;
        }
        samples += written;
        count -= static_cast<int>(written);
    }
    return true;
}

bool openAlsaSpeaker() {
    snd_lib_error_set_handler(quietAlsaError);
    if (snd_pcm_open(&alsaPcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) {
        alsaPcm = nullptr;
        return false;
    }
    if (snd_pcm_set_params(alsaPcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                           SPEAKER_RATE, 1, LATENCY_MICROSECONDS) < 0 ||
        !setSoftwareParams()) {
        snd_pcm_close(alsaPcm);
        alsaPcm = nullptr;
        return false;
    }
    return true;
}

void playAlsaTone(int frequency, int milliseconds) {
    const Deadline deadline = deadlineAfterMs(milliseconds);
    const SquareTone tone = {frequency, toneFrames(milliseconds)};
    int16_t chunk[CHUNK_FRAMES];
    for (int64_t first = 0; first < tone.frames && !stopRequested(); first += CHUNK_FRAMES) {
        const int count = static_cast<int>(std::min<int64_t>(CHUNK_FRAMES, tone.frames - first));
        fillSquareWave(tone, first, chunk, count);
        if (!writeFrames(chunk, count)) break;
    }
    // Draining plays out what is queued and hands every sample on (a file device writes its
    // last samples only then); the clock covers devices that take samples faster than real time.
    snd_pcm_drain(alsaPcm);
    // Draining leaves the PCM stopped; making it ready now keeps that out of the next tone's start.
    snd_pcm_prepare(alsaPcm);
    sleepUntil(deadline);
}

}  // namespace

const SpeakerBackend ALSA_SPEAKER = {openAlsaSpeaker, playAlsaTone};
