#pragma once
// System messages and meta events (status 0xF0 to 0xFF).

// Refuses a system message, or reads a meta event and hands it to its hook after checking its
// length and values. Returns 0, or a negative value.
int readSystemOrMetaEvent(int status);
