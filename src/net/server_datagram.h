#pragma once
// What the server does with one received datagram: register, activate or release.
#include <cstdint>
#include <plib/netSocket.h>

// length is what arrived (0 or less: nothing did). Fields beyond the length read as zero.
void handleServerDatagram(const uint8_t *bytes, int length, const netAddress &sender);
