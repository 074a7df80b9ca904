#pragma once

// Where udev lists the PC speaker's input device, as a "*-event-spkr" entry.
constexpr const char *kPcSpeakerDirectory = "/dev/input/by-path";

// Opens the first "*-event-spkr" entry of the directory that opens for writing; returns its
// descriptor, or -1 when there is none. Opening costs about 16 ms, so the caller keeps it open.
// Once a speaker is open, SIGINT, SIGTERM, SIGHUP and SIGQUIT (where not ignored or handled
// already) silence a sounding tone before they end the process.
int openPcSpeaker(const char *directory);

// Sounds the tone on the opened device, waits out its length and silences it again.
void playPcSpeakerTone(int device, int frequency, int milliseconds);
