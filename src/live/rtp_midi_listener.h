#pragma once
// The server's ports for RTP-MIDI sessions: a control port and the data port after it, on every
// interface, served by a thread of their own. Each session's notes go to the song's loop as live
// commands; a session that ends, loses packets or falls silent lets go of every key it holds.

// Starts listening on port and port + 1; prints why and returns false when either cannot be bound.
bool startRtpMidiListener(int port);
// Ends every session (telling each peer) and the thread; nothing if it never started.
void stopRtpMidiListener();
