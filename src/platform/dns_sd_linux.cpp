#include "platform/dns_sd.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

constexpr char RTP_MIDI_SERVICE_TYPE[] = "_apple-midi._udp";
constexpr size_t LONGEST_SERVICE_NAME = 63;  // one DNS label

}  // namespace

// Touched by the poll's thread only once the client runs, and by the caller before and after.
struct DnsSdAnnouncement {
    AvahiThreadedPoll *poll = nullptr;
    AvahiClient *client = nullptr;
    AvahiEntryGroup *group = nullptr;
    std::string name;
    uint16_t port = 0;
};

namespace {

void publish(AvahiClient *client, DnsSdAnnouncement &announcement);

void takeAlternativeName(DnsSdAnnouncement &announcement) {
    char *alternative = avahi_alternative_service_name(announcement.name.c_str());
    announcement.name = alternative;
    avahi_free(alternative);
}

void groupChanged(AvahiEntryGroup *group, AvahiEntryGroupState state, void *userdata) {
    if (state != AVAHI_ENTRY_GROUP_COLLISION) return;
    auto &announcement = *static_cast<DnsSdAnnouncement *>(userdata);
    takeAlternativeName(announcement);
    avahi_entry_group_reset(group);
    publish(avahi_entry_group_get_client(group), announcement);
}

void publish(AvahiClient *client, DnsSdAnnouncement &announcement) {
    if (announcement.group == nullptr) announcement.group = avahi_entry_group_new(client, groupChanged, &announcement);
    if (announcement.group == nullptr || !avahi_entry_group_is_empty(announcement.group)) return;
    // Over IPv4 only, as the session listens only there.
    int result = AVAHI_ERR_COLLISION;
    while (result == AVAHI_ERR_COLLISION) {
        result = avahi_entry_group_add_service(announcement.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                               static_cast<AvahiPublishFlags>(0), announcement.name.c_str(),
                                               RTP_MIDI_SERVICE_TYPE, nullptr, nullptr, announcement.port, nullptr);
        if (result == AVAHI_ERR_COLLISION) takeAlternativeName(announcement);
    }
    if (result == AVAHI_OK) avahi_entry_group_commit(announcement.group);
}

void clientChanged(AvahiClient *client, AvahiClientState state, void *userdata) {
    auto &announcement = *static_cast<DnsSdAnnouncement *>(userdata);
    if (state == AVAHI_CLIENT_S_RUNNING) {
        publish(client, announcement);
    } else if ((state == AVAHI_CLIENT_S_COLLISION || state == AVAHI_CLIENT_S_REGISTERING) &&
               announcement.group != nullptr) {
        // The host's own name is being settled anew; the service follows once the client runs again.
        avahi_entry_group_reset(announcement.group);
    }
}

std::string serviceName() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string name = std::string("tonecast on ") + host;
    if (name.size() > LONGEST_SERVICE_NAME) name.resize(LONGEST_SERVICE_NAME);
    return name;
}

}  // namespace

DnsSdAnnouncement *announceRtpMidiSession(int controlPort) {
    auto *announcement = new DnsSdAnnouncement;
    announcement->name = serviceName();
    announcement->port = static_cast<uint16_t>(controlPort);
    announcement->poll = avahi_threaded_poll_new();
    int failure = 0;
    if (announcement->poll != nullptr) {
        // The client's first state comes within this call, before the poll's thread starts.
        announcement->client =
            avahi_client_new(avahi_threaded_poll_get(announcement->poll), static_cast<AvahiClientFlags>(0),
                             clientChanged, announcement, &failure);
    }
    if (announcement->client == nullptr || avahi_threaded_poll_start(announcement->poll) != 0) {
        fprintf(stderr, "tonecast: no Avahi here: add this server by its address and port %d\n", controlPort);
        withdrawAnnouncement(announcement);
        return nullptr;
    }
    return announcement;
}

void withdrawAnnouncement(DnsSdAnnouncement *announcement) {
    if (announcement == nullptr) return;
    if (announcement->poll != nullptr) avahi_threaded_poll_stop(announcement->poll);
    // Freeing the client frees its group, which takes the service off the network.
    if (announcement->client != nullptr) avahi_client_free(announcement->client);
    if (announcement->poll != nullptr) avahi_threaded_poll_free(announcement->poll);
    delete announcement;
}
