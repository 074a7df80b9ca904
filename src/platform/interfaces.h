#pragma once
// The host's network interfaces, for telling people where to reach it.
#include <string>
#include <vector>

// The IPv4 address of every interface that is up, as dotted text; the loopback's last.
std::vector<std::string> upInterfaceAddresses();
