#pragma once
// The host's network interfaces, for telling people where to reach it, and how it listens on them.
#include <string>
#include <vector>

// The IPv4 address of every interface that is up, as dotted text; the loopback's last.
std::vector<std::string> upInterfaceAddresses();

// Whether a listening port may be bound again while connections of an earlier run linger on it.
// Linux asks for this (SO_REUSEADDR) and still keeps a port to one listener; on Windows the same
// option would let another program take over a port that is in use, and is not needed there.
bool reuseListeningPort();
