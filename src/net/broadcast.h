#pragma once

// The client's connect request to every server on the network; sets the next retry time.
void sendConnectBroadcast();

// The "-a" mode: tells a waiting server to begin. Sends the activate datagram five times.
void runActivateSender();
