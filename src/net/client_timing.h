#pragma once
#include <cstdint>

// How long the client may wait for a datagram at `now` before something else is due: the next
// connect request (while not connected, due once the clock is strictly past the retry time) or
// the end of the run at the inactivity deadline. 0 when one of them is due already.
int clientIdleMs(int32_t now, bool connected, int32_t nextRetryTime, int32_t deadline);
