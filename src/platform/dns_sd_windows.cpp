#include "platform/dns_sd.h"

// Windows has no DNS-SD daemon of its own to ask; players add the session by address and port.
DnsSdAnnouncement *announceRtpMidiSession(int /*controlPort*/) {
    return nullptr;
}

void withdrawAnnouncement(DnsSdAnnouncement * /*announcement*/) {}
