#pragma once
// Makes a service known by name on the local network (DNS-SD over multicast DNS), where the host has
// a daemon for it: on Linux, Avahi. Apple's MIDI Studio and rtpMIDI list what is announced in their
// directory, so a player picks the session by name rather than typing an address.
// One file per host (dns_sd_linux.cpp, dns_sd_windows.cpp).

struct DnsSdAnnouncement;

// Announces an RTP-MIDI session (_apple-midi._udp) on controlPort as "tonecast on <host name>", in
// the background; a name another host has taken gives way to the daemon's alternative. Without a
// daemon one line on standard error tells how players add the session by hand, and the run goes on.
// Null when nothing is announced (always on Windows, which has no such daemon to ask).
DnsSdAnnouncement *announceRtpMidiSession(int controlPort);

// Withdraws what announceRtpMidiSession made known and frees it; nothing for null.
void withdrawAnnouncement(DnsSdAnnouncement *announcement);
