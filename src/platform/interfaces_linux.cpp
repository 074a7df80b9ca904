#include "platform/interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

std::vector<std::string> upInterfaceAddresses() {
    std::vector<std::string> addresses, loopbacks;
    ifaddrs *interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return addresses;
    for (const ifaddrs *entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || (entry->ifa_flags & IFF_UP) == 0)
            continue;
        char text[INET_ADDRSTRLEN];
        sockaddr_in address;
        memcpy(&address, entry->ifa_addr, sizeof address);
        if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) continue;
        ((entry->ifa_flags & IFF_LOOPBACK) != 0 ? loopbacks : addresses).emplace_back(text);
    }
    freeifaddrs(interfaces);
    addresses.insert(addresses.end(), loopbacks.begin(), loopbacks.end());
    return addresses;
}

bool reuseListeningPort() {
    return true;
}
