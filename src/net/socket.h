#pragma once
// The process's one datagram socket. The socket library aborts the process when asked to use a
// socket that failed to open, so each use here first checks that it is open: on such a socket a
// bind fails, sends go nowhere and nothing is ever received, as on any socket that cannot send.
#include <plib/netSocket.h>

#include "net/protocol.h"

// Binds to any local address and the port (0: one the system picks); true on success.
bool bindSocket(int port);

// Sends one datagram; like every send of the program, its result is not examined: a lost
// datagram is simply lost.
void sendMessage(const Message &message, const netAddress &to);

// Takes one waiting datagram, if any, without waiting, and its sender. Returns the bytes received;
// 0 or less when nothing was there (or the receive failed, which is the same to the program).
int receiveMessage(uint8_t *buffer, int size, netAddress &sender);

// Broadcasts are allowed from now on.
void allowBroadcast();

// The request to forbid broadcasts again, made as an option value of length 0. The kernel refuses
// it, so the option stays on; the refusal is ignored on purpose (the socket library would abort).
void requestBroadcastOff();

// The handle that the process waits on for datagrams.
int socketHandle();
