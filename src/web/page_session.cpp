#include "web/page_session.h"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <chrono>
#include <cstdlib>
#include <initializer_list>
#include <utility>

#include "net/client.h"

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;

namespace {

// A page that locks or loses its network is let go after this, as a PC that quits would be; its
// clock requests, four a second, are its sign of life.
constexpr auto PAGE_SILENCE_LIMIT = std::chrono::seconds(10);
// While the room has no free slot, the page asks again this often.
constexpr auto SLOT_RETRY = std::chrono::seconds(1);
// A page's messages are a word and a number.
constexpr size_t LONGEST_PAGE_MESSAGE = 64;
// A page that takes no more (its connection stalled) is let go rather than queued for without end.
constexpr size_t MOST_QUEUED_FOR_PAGE = 512;

// {"name":value,...} from names (each with its quotes and colon) and numbers.
std::string json(std::initializer_list<std::pair<const char *, long>> fields) {
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

}  // namespace

PageSession::PageSession(asio::ip::tcp::socket tcpSocket, std::string song)
    : socket(std::move(tcpSocket)),
      room(socket.get_executor()),
      retry(socket.get_executor()),
      life(socket.get_executor()),
      songText(std::move(song)) {}

void PageSession::start(const boost::beast::http::request<boost::beast::http::string_body> &upgrade) {
    // A note is one small message: sent at once, not held back to be joined with the next one
    // (which, against a browser's delayed acknowledgements, held notes up to 40 ms).
    error_code ignored;
    boost::beast::get_lowest_layer(socket).socket().set_option(asio::ip::tcp::no_delay(true), ignored);
    socket.set_option(websocket::stream_base::timeout::suggested(boost::beast::role_type::server));
    socket.read_message_max(LONGEST_PAGE_MESSAGE);
    socket.text(true);
    socket.async_accept(upgrade, [self = shared_from_this()](error_code failure) {
        if (failure) return self->end();
        error_code unused;
        self->room.open(asio::ip::udp::v4(), unused);
        self->room.connect({asio::ip::address_v4::loopback(), SERVER_PORT}, unused);
        self->tell(self->songText);
        self->readFromPage();
        self->readFromServer();
        self->watchForLife();
    });
}

void PageSession::tell(const std::string &text) {
    if (!open) return;
    if (outgoing.size() >= MOST_QUEUED_FOR_PAGE) return end();
    outgoing.push_back(text);
    if (outgoing.size() == 1) writeNext();
}

void PageSession::tellSong(const std::string &text) {
    songText = text;
    tell(songText);
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
        self->watchForLife();
        self->takePageMessage(text);
        self->readFromPage();
    });
}

void PageSession::takePageMessage(const std::string &text) {
    uint32_t stamp = 0;
    if (text == "join") {
        join();
    } else if (readClockStamp(text, stamp) && id >= 0 && !over) {
        const Message request = clockRequestMessage(stamp);
        error_code ignored;
        room.send(asio::buffer(request.bytes, static_cast<size_t>(request.length)), 0, ignored);
    }
}

void PageSession::join() {
    if (joined || over) return;
    joined = true;
    askForSlot();
}

// The connect of a PC that knows the room's clock. A full room does not answer, as it does not
// answer a PC; the page is told so once and the request is repeated until a slot is free.
void PageSession::askForSlot() {
    if (id >= 0 || over || !open) return;
    const Message request = timedConnectMessage();
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
        if (!self->open) return;
        // A refusal reported by the loopback (no server at the port yet) is not an end; any other
        // failure (a socket that could not be opened) is, or it would come back at once forever.
        if (failure && failure != asio::error::connection_refused) return self->end();
        if (!failure) self->takeServerReply(static_cast<int>(length));
        self->readFromServer();
    });
}

void PageSession::takeServerReply(int length) {
    if (length < REPLY_LENGTH || over) return;
    switch (readWord(reply, 0)) {
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
        case MSG_BYE: endWithSongOver(); break;
        default: break;
    }
}

void PageSession::watchForLife() {
    life.expires_after(PAGE_SILENCE_LIMIT);
    life.async_wait([self = shared_from_this()](error_code failure) {
        if (!failure) self->end();
    });
}

// The page is gone (closed, silent too long, or the run ends): its slot is given back as a PC gives
// its own back, unless the server has said good-bye.
void PageSession::end() {
    if (!open) return;
    open = false;
    error_code ignored;
    if (id >= 0 && !over) {
        const Message leaving = clientDisconnectMessage(id);
        room.send(asio::buffer(leaving.bytes, static_cast<size_t>(leaving.length)), 0, ignored);
    }
    room.close(ignored);
    retry.cancel();
    life.cancel();
    boost::beast::get_lowest_layer(socket).close();
}
