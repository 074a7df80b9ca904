#pragma once
#include <cstdint>

// Acts on one datagram from the server, told apart by word 0: an id is taken, a note is played
// and a good-bye ends the run. Anything else is ignored. The buffer holds CLIENT_RECEIVE_BUFFER
// bytes, those the datagram did not fill being zero.
void actOnServerDatagram(const uint8_t *buffer);
