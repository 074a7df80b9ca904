#pragma once
// The check every program that sends datagrams makes before its first one: it runs inside the
// private network of tests/e2e/netns_run.sh, which marks its environment and holds only lo and the
// veth pair it made. tools/virtual_room.py makes the same check for the Python tests.
#include <net/if.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

inline bool insidePrivateNetwork() {
    const char *mark = getenv("TONECAST_PRIVATE_NET");
    if (mark == nullptr || strcmp(mark, "inside") != 0) return false;
    std::vector<std::string> names;
    struct if_nameindex *interfaces = if_nameindex();
    if (interfaces == nullptr) return false;
    for (struct if_nameindex *i = interfaces; i->if_index != 0; i++) names.push_back(i->if_name);
    if_freenameindex(interfaces);
    std::sort(names.begin(), names.end());
    return names == std::vector<std::string>{"lo", "tcveth0", "tcveth1"};
}
