#include "web/page_session.h"

#include <algorithm>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <cstdlib>
#include <initializer_list>
#include <utility>

#include "net/protocol.h"
#include "net/room_clock.h"
#include "platform/clock.h"
#include "web/json_message.h"

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;

namespace {

// A page that locks or loses its network is let go after this, as a PC that quits would be; any
// message is its sign of life: its clock requests, four a second, and its answer to each ping.
constexpr auto PAGE_SILENCE_LIMIT = std::chrono::seconds(10);
// A page asks to join as soon as its socket opens; a socket that does not is no page of the room.
constexpr auto JOIN_TIME_LIMIT = std::chrono::seconds(5);
// Browsers wake a hidden tab's timers as rarely as once a minute, but never hold back its messages:
// a ping this often is answered at once, and keeps a page in the background in the room.
constexpr auto PING_INTERVAL = std::chrono::seconds(2);
// A page that leaves between its join and its id: the id comes from the loopback within moments,
// and is given back rather than left to a slot nobody plays.
constexpr auto ID_WAIT_AFTER_LEAVING = std::chrono::seconds(3);
// How long the WebSocket's handshake and its closing may take; silence is the page's own limit.
constexpr auto HANDSHAKE_TIME_LIMIT = std::chrono::seconds(5);
// While the room has no free slot, the page asks again this often.
constexpr auto SLOT_RETRY = std::chrono::seconds(1);
// Clock requests beyond its allowance after which a page is let go as a flood.
constexpr int MOST_CLOCK_REQUESTS_DROPPED = 80;
// A page's messages are a word and a number, or its report of a few numbers.
constexpr size_t LONGEST_PAGE_MESSAGE = 160;
// A page reports once a second; the server hears a page's reports no more often.
constexpr int64_t REPORT_INTERVAL_NANOS = 1000 * NANOS_PER_MILLI;
// A round trip longer than a minute is no round trip the room can use.
constexpr double LONGEST_ROUND_TRIP_MS = 60000;
// A page that takes no more (its connection stalled) is let go rather than queued for without end.
constexpr size_t MOST_QUEUED_FOR_PAGE = 512;

// {"name":value,...} from names (each with its quotes and colon) and numbers.
std::string json(std::initializer_list<std::pair<const char *, long long>> fields) {
    std::string text = "{";
    for (const auto &field : fields) {
        if (text.size() > 1) text += ',';
        text += field.first;
        text += std::to_string(field.second);
    }
    return text + "}";
}

// "clock N": N a stamp of the page's own clock, up to 32 bits.
bool readClockStamp(const std::string &text, uint32_t &stamp) {
    static const char WORD[] = "clock ";
    if (text.compare(0, sizeof WORD - 1, WORD) != 0) return false;
    const char *digits = text.c_str() + sizeof WORD - 1;
    if (*digits < '0' || *digits > '9') return false;
    char *end = nullptr;
    const unsigned long long value = strtoull(digits, &end, 10);
    if (*end != '\0' || value > UINT32_MAX) return false;
    stamp = static_cast<uint32_t>(value);
    return true;
}

std::string addressText(const asio::ip::tcp::socket &socket) {
    error_code unknown;
    const asio::ip::tcp::endpoint remote = socket.remote_endpoint(unknown);
    return unknown ? std::string() : remote.address().to_string() + ":" + std::to_string(remote.port());
}

}  // namespace

bool readPageReport(const std::string &text, PageReport &report) {
    JsonValue message;
    if (!readJson(text, message)) return false;
    const JsonValue *fields = jsonField(&message, "report");
    double roundTripMs = 0, late = 0, missed = 0;
    if (!jsonNumber(jsonField(fields, "roundTripMs"), roundTripMs) || !jsonNumber(jsonField(fields, "late"), late) ||
        !jsonNumber(jsonField(fields, "missed"), missed))
        return false;
    report.roundTripMicros = static_cast<uint32_t>(std::clamp(roundTripMs, 0.0, LONGEST_ROUND_TRIP_MS) * 1000);
    report.late = static_cast<int>(std::clamp(late, 0.0, static_cast<double>(INT16_MAX)));
    report.missed = static_cast<int>(std::clamp(missed, 0.0, static_cast<double>(INT16_MAX)));
    return true;
}

PageSession::PageSession(asio::ip::tcp::socket tcpSocket, ConnectionPlace connectionPlace, const std::string &song)
    : socket(std::move(tcpSocket)),
      place(std::move(connectionPlace)),
      songMessage(song),
      remoteAddress(addressText(boost::beast::get_lowest_layer(socket).socket())),
      room(socket.get_executor()),
      retry(socket.get_executor()),
      life(socket.get_executor()),
      pinging(socket.get_executor()) {}

void PageSession::start(const HttpRequest &upgrade) {
    // A note is one small message: sent at once, not held back to be joined with the next one
    // (which, against a browser's delayed acknowledgements, held notes up to 40 ms).
    error_code ignored;
    boost::beast::get_lowest_layer(socket).socket().set_option(asio::ip::tcp::no_delay(true), ignored);
    socket.set_option(websocket::stream_base::timeout{HANDSHAKE_TIME_LIMIT, websocket::stream_base::none(), false});
    socket.set_option(websocket::stream_base::decorator(guardPage));
    socket.read_message_max(LONGEST_PAGE_MESSAGE);
    socket.text(true);
    socket.async_accept(upgrade, [self = shared_from_this()](error_code failure) {
        if (failure) return self->end();
        self->tellSong();
        self->readFromPage();
        self->ping();
        self->life.expires_after(JOIN_TIME_LIMIT);
        self->life.async_wait([self](error_code late) {
            if (!late && !self->joined) self->end();
        });
    });
}

void PageSession::tell(const std::string &text) {
    if (!open) return;
    if (outgoing.size() >= MOST_QUEUED_FOR_PAGE) return end();
    outgoing.push_back(text);
    if (outgoing.size() == 1) writeNext();
}

void PageSession::tellSong() {
    tell(songMessage);
}

unsigned short PageSession::roomPort() const {
    error_code unknown;
    const asio::ip::udp::endpoint local = room.local_endpoint(unknown);
    return unknown ? 0 : local.port();
}

void PageSession::endWithSongOver() {
    if (!open) return;
    if (!over) {
        over = true;
        tell(R"({"over":true})");
    }
    if (outgoing.empty()) end();
}

void PageSession::writeNext() {
    socket.async_write(asio::buffer(outgoing.front()), [self = shared_from_this()](error_code failure, size_t) {
        if (failure) return self->end();
        self->outgoing.pop_front();
        if (!self->outgoing.empty()) return self->writeNext();
        // The good-bye is out: the page closes when it reads it, and so does the server's side.
        if (self->over) {
            self->socket.async_close(websocket::close_code::normal, [self](error_code) { self->end(); });
        }
    });
}

void PageSession::readFromPage() {
    socket.async_read(incoming, [self = shared_from_this()](error_code failure, size_t) {
        if (failure) return self->end();
        const std::string text = boost::beast::buffers_to_string(self->incoming.data());
        self->incoming.consume(self->incoming.size());
        if (self->joined) self->watchForLife();
        self->takePageMessage(text);
        self->readFromPage();
    });
}

void PageSession::takePageMessage(const std::string &text) {
    uint32_t stamp = 0;
    if (text == "join") {
        join();
    } else if (readClockStamp(text, stamp) && id >= 0 && !over) {
        if (!takeClockAllowance(clockAllowance, monotonicNanos())) {
            // The room's page never asks beyond its allowance: one that keeps doing so is a flood,
            // and reading it would keep the web thread busy for as long as it lasts.
            if (++clockRequestsDropped >= MOST_CLOCK_REQUESTS_DROPPED) end();
            return;
        }
        const Message request = clockRequestMessage(stamp, CONCERT_PROTOCOL_VERSION);
        error_code ignored;
        room.send(asio::buffer(request.bytes, static_cast<size_t>(request.length)), 0, ignored);
    } else if (id >= 0 && !over) {
        passReport(text);
    }
}

void PageSession::passReport(const std::string &text) {
    PageReport report;
    const int64_t now = monotonicNanos();
    if (now < nextReportNanos || !readPageReport(text, report)) return;
    nextReportNanos = now + REPORT_INTERVAL_NANOS;
    const Message message =
        clientReportMessage(CONCERT_PROTOCOL_VERSION, report.roundTripMicros, report.late, report.missed);
    error_code ignored;
    room.send(asio::buffer(message.bytes, static_cast<size_t>(message.length)), 0, ignored);
}

// The datagram socket opens only now: a socket that never joins costs the host one descriptor.
void PageSession::join() {
    if (joined || over) return;
    error_code failure;
    room.open(asio::ip::udp::v4(), failure);
    if (!failure) room.connect({asio::ip::address_v4::loopback(), SERVER_PORT}, failure);
    if (failure) return end();
    joined = true;
    watchForLife();
    readFromServer();
    askForSlot();
}

// The connect of a PC that knows the room's clock. A full room does not answer, as it does not
// answer a PC; the page is told so once and the request is repeated until a slot is free.
void PageSession::askForSlot() {
    if (id >= 0 || over || !open) return;
    const Message request = timedConnectMessage(CONCERT_PROTOCOL_VERSION);
    error_code ignored;
    room.send(asio::buffer(request.bytes, static_cast<size_t>(request.length)), 0, ignored);
    retry.expires_after(SLOT_RETRY);
    retry.async_wait([self = shared_from_this()](error_code failure) {
        if (failure || self->id >= 0 || !self->open) return;
        if (!self->toldFull) self->tell(R"({"full":true})");
        self->toldFull = true;
        self->askForSlot();
    });
}

void PageSession::readFromServer() {
    room.async_receive(asio::buffer(reply), [self = shared_from_this()](error_code failure, size_t length) {
        if (!self->room.is_open()) return;
        // A refusal reported by the loopback (no server at the port yet) is not an end; any other
        // failure (a socket that could not be opened) is, or it would come back at once forever.
        if (failure && failure != asio::error::connection_refused) {
            self->end();
            return self->closeRoomSocket();
        }
        if (!failure) self->takeServerReply(static_cast<int>(length));
        if (self->room.is_open()) self->readFromServer();
    });
}

void PageSession::takeServerReply(int length) {
    if (length < REPLY_LENGTH || over) return;
    const int16_t kind = readWord(reply, 0);
    if (!open) {
        // The page left before its id came: the slot is given back at once.
        if (kind != MSG_ASSIGN_ID) return;
        giveBackSlot(readWord(reply, 1));
        return closeRoomSocket();
    }
    switch (kind) {
        case MSG_ASSIGN_ID:
            if (id < 0) retry.cancel();
            id = readWord(reply, 1);
            tell(json({{R"("id":)", id}}));
            break;
        case MSG_WELCOME: tell(json({{R"("welcome":)", readWord(reply, 1)}})); break;
        case MSG_CLOCK_REPLY:
            if (length < CLOCK_REPLY_LENGTH) return;
            tell(json({{R"("clock":)", readStamp(reply, ECHOED_STAMP_OFFSET)},
                       {R"("server":)", readStamp(reply, SERVER_TIME_OFFSET)}}));
            break;
        case MSG_TIMED_NOTE: {
            if (length < TIMED_NOTE_LENGTH) return;
            const int16_t key = readWord(reply, 1);
            tell(json({{R"("note":)", key},
                       {R"("ms":)", readWord(reply, 2)},
                       {R"("at":)", readStamp(reply, NOTE_TIME_OFFSET)},
                       {R"("hz":)", keyToFrequency(key)}}));
            break;
        }
        case MSG_SONG_END: tell(json({{R"("songEnd":)", readWord(reply, 1)}})); break;
        case MSG_SILENCE: tell(R"({"silence":1})"); break;
        case MSG_BYE: endWithSongOver(); break;
        default: break;
    }
}

void PageSession::ping() {
    tell(json({{R"("ping":)", ++pings}}));
    pinging.expires_after(PING_INTERVAL);
    pinging.async_wait([self = shared_from_this()](error_code failure) {
        if (!failure && self->open) self->ping();
    });
}

void PageSession::watchForLife() {
    life.expires_after(PAGE_SILENCE_LIMIT);
    life.async_wait([self = shared_from_this()](error_code failure) {
        if (!failure) self->end();
    });
}

void PageSession::giveBackSlot(int16_t slot) {
    const Message leaving = clientDisconnectMessage(slot);
    error_code ignored;
    room.send(asio::buffer(leaving.bytes, static_cast<size_t>(leaving.length)), 0, ignored);
}

// The page is gone (closed, silent too long, or the run ends): its slot is given back as a PC gives
// its own back, unless the server has said good-bye. A page that left before its id came keeps its
// datagram socket a moment longer, to give the id back when it comes.
void PageSession::end() {
    if (!open) return;
    open = false;
    retry.cancel();
    pinging.cancel();
    boost::beast::get_lowest_layer(socket).close();
    if (id >= 0 && !over) giveBackSlot(id);
    if (!joined || id >= 0 || over) return closeRoomSocket();
    life.expires_after(ID_WAIT_AFTER_LEAVING);
    life.async_wait([self = shared_from_this()](error_code failure) {
        if (!failure) self->closeRoomSocket();
    });
}

void PageSession::closeRoomSocket() {
    error_code ignored;
    room.close(ignored);
    life.cancel();
}
