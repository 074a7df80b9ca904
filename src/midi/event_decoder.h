#pragma once
// Decoding the events of a track chunk.

// Decodes one event, counted against Mf_toberead, and hands it to its hook. Returns 0, or a
// negative value: a reported code, a hook's refusal, or a negative quantity from the file.
int decodeEvent();
