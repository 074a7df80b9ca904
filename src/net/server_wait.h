#pragma once

// Sleeps until a datagram waits on the process's socket or the next note of the song is due, so
// that the server keeps time without spinning. Returns at once when a note is due already.
void waitForDatagramOrNote();

// Asks the kernel to end the server's sleeps as close to their deadlines as it can.
void requestPreciseWakeups();
