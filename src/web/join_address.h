#pragma once
// Where people open the room's page, and where its conductor opens theirs.
#include <string>

// Prints on standard error the page's address on each interface that is up (the loopback's last)
// and, when a person watches standard error, a QR code of the first for a phone's camera; then
// the conductor's address on each, with the key. Returns the audience's first address, "" when no
// interface is up.
std::string tellJoinAddresses(int port, const std::string &conductorKey);
// A QR code of the text as an SVG image, one square per dark module; "" when it cannot be made.
std::string qrCodeSvg(const std::string &text);
