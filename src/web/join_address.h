#pragma once
// Where people open the room's page.

// Prints on standard error the page's address on each interface that is up (the loopback's last)
// and, when a person watches standard error, a QR code of the first for a phone's camera.
void tellJoinAddresses(int port);
