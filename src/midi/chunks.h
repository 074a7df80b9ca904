#pragma once
// The header chunk and the track chunks of a file.

// Reads the header chunk and hands it to Mf_header. Returns the number of tracks, or a negative value.
int readHeaderChunk();
// Reads one track chunk, every event in it. Returns 0, or a negative value.
int readTrackChunk();
