#include "live/rtp_midi_listener.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "concert/concert_commands.h"
#include "live/applemidi_session.h"
#include "platform/clock.h"
#include "platform/dns_sd.h"
#include "platform/interfaces.h"

namespace asio = boost::asio;
using asio::ip::udp;
using boost::system::error_code;

namespace {

// A player's packets are far below an Ethernet frame; a larger datagram is no peer's.
constexpr size_t LONGEST_DATAGRAM = 1500;
// A keyboard played hard, with clock exchanges and repeats, stays well below this; a sender past it
// within a second has the rest of its datagrams dropped until the next second.
constexpr int DATAGRAMS_PER_SECOND = 200;
// Senders counted in one second: a flood from made-up addresses cannot grow the count without end.
constexpr size_t MOST_SENDERS_COUNTED = 1024;
constexpr auto TENDING_INTERVAL = std::chrono::milliseconds(250);
constexpr int64_t MICROS_PER_SECOND = 1000000;
constexpr char OUR_NAME[] = "tonecast";

struct Port {
    explicit Port(asio::io_context &io) : socket(io) {}
    udp::socket socket;
    udp::endpoint sender;
    uint8_t received[LONGEST_DATAGRAM + 1] = {};  // one more, to see a datagram that is too long
};

struct RtpMidiListener {
    asio::io_context io;
    Port control{io};
    Port data{io};
    asio::steady_timer tending{io};
    LiveSessions table = {};
    std::unordered_map<uint32_t, int> sentThisSecond;  // by sender's address
    int64_t secondStartMicros = 0;
    std::thread thread;
    DnsSdAnnouncement *announcement = nullptr;
};

RtpMidiListener *listener = nullptr;

int64_t nowMicros() {
    return monotonicNanos() / 1000;
}

Port &portOf(LivePort port) {
    return port == LivePort::CONTROL ? listener->control : listener->data;
}

// Whether the sender may still be heard this second.
bool withinBudget(uint32_t ip, int64_t now) {
    if (now - listener->secondStartMicros >= MICROS_PER_SECOND) {
        listener->sentThisSecond.clear();
        listener->secondStartMicros = now;
    }
    auto counted = listener->sentThisSecond.find(ip);
    if (counted == listener->sentThisSecond.end()) {
        if (listener->sentThisSecond.size() >= MOST_SENDERS_COUNTED) return false;
        counted = listener->sentThisSecond.emplace(ip, 0).first;
    }
    return ++counted->second <= DATAGRAMS_PER_SECOND;
}

void postLive(ConcertCommandKind kind, uint32_t session, int key = 0, int velocity = 0) {
    ConcertCommand command{};
    command.kind = kind;
    command.liveSource = session;
    command.key = key;
    command.velocity = velocity;
    postConcertCommand(std::move(command));
}

// Sends the answers, and hands the song's loop what the sessions played and which of them ended.
void actOn(const LiveOutput &out) {
    for (const LiveDatagram &datagram : out.sends) {
        const udp::endpoint to(asio::ip::address_v4(datagram.to.ip), datagram.to.port);
        error_code ignored;  // a lost answer is asked for again, as any datagram may be lost
        portOf(datagram.port).socket.send_to(asio::buffer(datagram.bytes, datagram.length), to, 0, ignored);
    }
    for (const LiveNotes &packet : out.notes) {
        // Note-offs went missing with the packets lost: the keys the session holds are let go first.
        if (packet.lost) postLive(ConcertCommandKind::LiveSourceEnded, packet.session);
        for (const RtpMidiNote &note : packet.notes) {
            if (note.velocity == 0) {
                postLive(ConcertCommandKind::LiveNoteOff, packet.session, note.key);
            } else {
                postLive(ConcertCommandKind::LiveNoteOn, packet.session, note.key, note.velocity);
            }
        }
    }
    for (const LiveEvent &event : out.events) {
        if (event.kind == LiveEvent::ENDED) postLive(ConcertCommandKind::LiveSourceEnded, event.session);
    }
}

void receive(LivePort which) {
    Port &port = portOf(which);
    port.socket.async_receive_from(
        asio::buffer(port.received), port.sender, [which, &port](error_code failure, size_t length) {
            if (failure == asio::error::operation_aborted) return;
            // Other failures (on Windows, an earlier send's port found closed) concern no datagram.
            const int64_t now = nowMicros();
            const asio::ip::address from = port.sender.address();
            if (!failure && length <= LONGEST_DATAGRAM && from.is_v4() && withinBudget(from.to_v4().to_uint(), now)) {
                LiveOutput out;
                handleLiveDatagram(listener->table, which, {from.to_v4().to_uint(), port.sender.port()}, port.received,
                                   length, now, out);
                actOn(out);
            }
            receive(which);
        });
}

void tendSessions() {
    listener->tending.expires_after(TENDING_INTERVAL);
    listener->tending.async_wait([](error_code failure) {
        if (failure) return;
        const int64_t now = nowMicros();
        LiveOutput out;
        tendLiveSessions(listener->table, now, out);
        addLiveFeedback(listener->table, now, out);
        actOn(out);
        tendSessions();
    });
}

bool bindPort(udp::socket &socket, int port, error_code &failure) {
    if (port < 1 || port > 65535) {
        failure = asio::error::invalid_argument;
        return false;
    }
    const udp::endpoint everyInterface(udp::v4(), static_cast<unsigned short>(port));
    socket.open(everyInterface.protocol(), failure);
    if (!failure) socket.bind(everyInterface, failure);
    return !failure;
}

}  // namespace

bool startRtpMidiListener(int port) {
    listener = new RtpMidiListener;
    for (int each : {port, port + 1}) {
        error_code failure;
        if (!bindPort(each == port ? listener->control.socket : listener->data.socket, each, failure)) {
            fprintf(stderr, "tonecast: RTP-MIDI cannot listen on port %d: %s\n", each, failure.message().c_str());
            delete listener;
            listener = nullptr;
            return false;
        }
    }
    std::random_device randomness;
    startLiveSessions(listener->table, static_cast<uint32_t>(randomness()), OUR_NAME);
    for (const std::string &address : upInterfaceAddresses()) {
        fprintf(stderr, "Live players join by RTP-MIDI at %s:%d\n", address.c_str(), port);
    }
    listener->announcement = announceRtpMidiSession(port);
    fflush(stderr);
    receive(LivePort::CONTROL);
    receive(LivePort::DATA);
    tendSessions();
    listener->thread = std::thread([] { listener->io.run(); });
    return true;
}

void stopRtpMidiListener() {
    if (listener == nullptr) return;
    withdrawAnnouncement(listener->announcement);
    asio::post(listener->io, [] {
        LiveOutput out;
        endLiveSessions(listener->table, out);
        actOn(out);
        listener->io.stop();
    });
    listener->thread.join();
    delete listener;
    listener = nullptr;
}
