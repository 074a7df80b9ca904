// Winsock's header comes before any other of Windows'.
#include <winsock2.h>

#include <iphlpapi.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/interfaces.h"

namespace {

// What a first call asks for: enough for a lab PC's adapters; a larger one is asked again.
constexpr ULONG FIRST_BUFFER_BYTES = 16 * 1024;
constexpr int ATTEMPTS = 3;  // adapters may come between the call that sizes and the one that fills

std::string dottedText(const sockaddr *address) {
    sockaddr_in ipv4;
    memcpy(&ipv4, address, sizeof ipv4);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&ipv4.sin_addr);
    char text[16];
    snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

}  // namespace

std::vector<std::string> upInterfaceAddresses() {
    std::vector<std::string> addresses, loopbacks;
    std::vector<unsigned char> buffer(FIRST_BUFFER_BYTES);
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < ATTEMPTS && result == ERROR_BUFFER_OVERFLOW; attempt++) {
        ULONG size = static_cast<ULONG>(buffer.size());
        result = GetAdaptersAddresses(AF_INET, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()),
                                      &size);
        if (result == ERROR_BUFFER_OVERFLOW) buffer.resize(size);
    }
    if (result != NO_ERROR) return addresses;
    for (const IP_ADAPTER_ADDRESSES *adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES *>(buffer.data());
         adapter != nullptr; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) continue;
        const bool loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
        for (const IP_ADAPTER_UNICAST_ADDRESS *unicast = adapter->FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            const sockaddr *address = unicast->Address.lpSockaddr;
            if (address == nullptr || address->sa_family != AF_INET) continue;
            (loopback ? loopbacks : addresses).push_back(dottedText(address));
        }
    }
    addresses.insert(addresses.end(), loopbacks.begin(), loopbacks.end());
    return addresses;
}

bool reuseListeningPort() {
    return false;
}
