#pragma once
#include <plib/netSocket.h>

#include "net/protocol.h"

// Sends one datagram through the process's socket; like every send of the program, its result
// is not examined: a lost datagram is simply lost.
void sendMessage(const Message &message, const netAddress &to);

// Broadcasts are allowed from now on.
void allowBroadcast();

// The request to forbid broadcasts again, made as an option value of length 0. The kernel refuses
// it, so the option stays on; the refusal is ignored on purpose (the socket library would abort).
void requestBroadcastOff();
