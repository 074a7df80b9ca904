#pragma once
#include <cstdint>

// A way of sounding tones on this host. speaker.cpp tries the backends in its table's order and
// keeps the first that opens; each backend keeps its own device between tones.

struct SpeakerBackend {
    // Whether this backend can play here; opens and keeps what it needs. Prints nothing on failure.
    bool (*open)();
    // Sounds the tone and returns when it has ended on the clock (or a stop is requested).
    void (*play)(int frequency, int milliseconds);
    // Between tones: keeps the device's stream running; returns the milliseconds within which it
    // wants to be called again, or -1 for never. Null for a device that needs nothing between tones.
    int (*keepRunning)();
    // Lets what is still queued play out and closes the device. Null where nothing is queued.
    void (*close)();
    // Places a tone on the device's stream so that its first sample is heard at the moment (the
    // monotonic clock's nanoseconds), dropping what of it is already past; returns once it is all
    // written. Null for a device sounded from a timer: the tone is then played at the moment.
    void (*playAt)(int frequency, int milliseconds, int64_t startNanos);
    // Drops every tone placed on the stream, the one sounding included, and plays on. Null for a
    // device sounded from a timer, which holds the process until its tone ends.
    void (*silence)();
    // Moves the end of the tone last placed by playAt; false where it cannot. Null for a device
    // sounded from a timer.
    bool (*moveEnd)(int64_t endNanos);
    // Tones, and their ends, may come this little ahead of their moment: what is written ahead of
    // what is heard is kept below it. Null where nothing is written ahead.
    void (*expectNotice)(int64_t noticeNanos);
};

// The PC speaker, through the kernel's input device for it.
extern const SpeakerBackend PC_SPEAKER;
// The sound card, through ALSA's "default" PCM: the PC speaker's square wave.
extern const SpeakerBackend ALSA_SPEAKER;
// No sound at all: says so once and keeps each tone's time.
extern const SpeakerBackend SILENT_SPEAKER;
// Windows' Beep, the one tone call of that host.
extern const SpeakerBackend BEEP_SPEAKER;

// Where udev lists the PC speaker's input device, as a "*-event-spkr" entry.
constexpr const char *PC_SPEAKER_DIRECTORY = "/dev/input/by-path";

// The PC speaker's own steps, open to tests with a directory of their own: opens the first
// "*-event-spkr" entry of the directory that opens for writing and returns its descriptor, or -1.
// Once a speaker is open, the signals that end or stop the process by default (where not ignored
// or handled already) silence a sounding tone first; after a stop (SIGTSTP) the tone sounds again
// if it is still due.
int openPcSpeaker(const char *directory);
// Sounds the tone on the opened device, waits out its length and silences it again.
void playPcSpeakerTone(int device, int frequency, int milliseconds);

#ifdef _WIN32
// A Windows call that sounds a tone and returns when it has ended: Beep.
using ToneCall = int(__stdcall *)(unsigned long frequency, unsigned long milliseconds);
// Sounds the tone through the call on a thread of its own and returns at the tone's end, or at
// once when a stop is requested, however long the call holds its thread.
void playToneOnItsThread(ToneCall call, int frequency, int milliseconds);
#endif
