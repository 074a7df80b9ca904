#include "web/web_room.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "platform/descriptors.h"
#include "web/connection_limits.h"
#include "web/http_answers.h"
#include "web/join_address.h"
#include "web/page_session.h"

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

// A browser asks for a file or the socket in a few hundred bytes; nothing it sends has a body.
constexpr size_t LONGEST_REQUEST_BODY = 1024;
constexpr uint32_t LONGEST_REQUEST_HEAD = 8192;
// A browser sends its request as soon as it connects, and opens a new connection when it finds an
// idle one closed: a connection that has not brought a whole request in this time (an idle
// keep-alive, a sender too slow to be a browser) is closed, and its place freed.
constexpr auto REQUEST_TIME_LIMIT = std::chrono::seconds(5);
// Enough to send the page's files over a poor Wi-Fi link.
constexpr auto ANSWER_TIME_LIMIT = std::chrono::seconds(30);
// Out of descriptors, a new connection cannot be taken: accepting waits this long before it tries
// again, rather than failing at once forever.
constexpr auto ACCEPT_PAUSE = std::chrono::milliseconds(100);
// How long the end of a run waits for the pages to have read that the song is over.
constexpr auto GOOD_BYE_WAIT = std::chrono::seconds(1);
constexpr auto GOOD_BYE_CHECK = std::chrono::milliseconds(5);

struct WebRoom {
    WebRoom(long descriptorLimit, int32_t songLengthMs) : song{songLengthMs, {}}, limits(descriptorLimit) {}

    // Before the event loop, so that they outlive the sessions its handlers hold.
    SongTiming song;
    ConnectionLimits limits;
    asio::io_context io;
    tcp::acceptor acceptor{io};
    asio::steady_timer acceptPause{io};
    std::thread thread;
    std::vector<std::weak_ptr<PageSession>> pages;
    asio::steady_timer closingCheck{io};
    std::promise<void> pagesClosed;
};

WebRoom *webRoom = nullptr;

// Each open page, the closed ones forgotten.
template <typename Action>
void forEachPage(Action action) {
    std::vector<std::weak_ptr<PageSession>> open;
    for (const auto &entry : webRoom->pages) {
        if (auto page = entry.lock(); page && page->isOpen()) {
            action(*page);
            if (page->isOpen()) open.push_back(page);
        }
    }
    webRoom->pages.swap(open);
}

// A closed page's entry would keep its memory, so the list is pruned before it grows.
void forgetClosedPages() {
    forEachPage([](PageSession &) {});
}

// One browser connection: files on request, until it asks for the room's socket.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket socket, ConnectionPlace connectionPlace)
        : stream(std::move(socket)), place(std::move(connectionPlace)) {}

    void readRequest() {
        parser.emplace();
        parser->body_limit(LONGEST_REQUEST_BODY);
        parser->header_limit(LONGEST_REQUEST_HEAD);
        stream.expires_after(REQUEST_TIME_LIMIT);
        http::async_read(stream, buffer, *parser, [self = shared_from_this()](error_code failure, size_t) {
            if (failure == http::error::header_limit)
                return self->send(
                    refusal(http::status::request_header_fields_too_large, self->parser->get().version()));
            if (failure) return self->close();
            self->answer(self->parser->release());
        });
    }

private:
    void answer(const HttpRequest &request) {
        if (!boost::beast::websocket::is_upgrade(request) || request.target() != "/room") {
            return send(answerRequest(request));
        }
        if (!fromOwnPage(request)) return send(refusal(http::status::forbidden, request.version()));
        stream.expires_never();
        auto page = std::make_shared<PageSession>(stream.release_socket(), std::move(place), webRoom->song);
        forgetClosedPages();
        webRoom->pages.push_back(page);
        page->start(request);
    }

    void send(HttpResponse answer) {
        response = std::move(answer);
        stream.expires_after(ANSWER_TIME_LIMIT);
        http::async_write(stream, response, [self = shared_from_this()](error_code failure, size_t) {
            if (failure || !self->response.keep_alive()) return self->close();
            self->readRequest();
        });
    }

    void close() {
        error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream.close();
    }

    boost::beast::tcp_stream stream;
    ConnectionPlace place;
    boost::beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    HttpResponse response;
};

bool outOfDescriptors(const error_code &failure) {
    return failure == asio::error::no_descriptors || failure == boost::system::errc::too_many_files_open_in_system ||
           failure == asio::error::no_buffer_space || failure == asio::error::no_memory;
}

// A connection beyond the limits is closed at once.
void admit(tcp::socket socket) {
    error_code unknown;
    const tcp::endpoint remote = socket.remote_endpoint(unknown);
    if (unknown) return;
    ConnectionPlace place = webRoom->limits.admit(remote.address());
    if (place) std::make_shared<HttpSession>(std::move(socket), std::move(place))->readRequest();
}

void acceptBrowsers() {
    if (!webRoom->acceptor.is_open()) return;
    webRoom->acceptor.async_accept([](error_code failure, tcp::socket socket) {
        if (failure == asio::error::operation_aborted) return;
        if (outOfDescriptors(failure)) {
            webRoom->acceptPause.expires_after(ACCEPT_PAUSE);
            webRoom->acceptPause.async_wait([](error_code cancelled) {
                if (!cancelled) acceptBrowsers();
            });
            return;
        }
        if (!failure) admit(std::move(socket));
        acceptBrowsers();
    });
}

// At the end of the run, once every page has closed, the run may end.
void noticeWhenPagesClose() {
    forgetClosedPages();
    if (webRoom->pages.empty()) return webRoom->pagesClosed.set_value();
    webRoom->closingCheck.expires_after(GOOD_BYE_CHECK);
    webRoom->closingCheck.async_wait([](error_code failure) {
        if (!failure) noticeWhenPagesClose();
    });
}

bool listen(int port, error_code &failure) {
    const tcp::endpoint everyInterface(tcp::v4(), static_cast<unsigned short>(port));
    webRoom->acceptor.open(everyInterface.protocol(), failure);
    if (!failure) webRoom->acceptor.set_option(asio::socket_base::reuse_address(true), failure);
    if (!failure) webRoom->acceptor.bind(everyInterface, failure);
    if (!failure) webRoom->acceptor.listen(asio::socket_base::max_listen_connections, failure);
    return !failure;
}

}  // namespace

void startWebRoom(int port, int32_t songLengthMs) {
    // Each page costs descriptors, and a desktop's default soft limit would cap the room far below
    // what the host allows.
    webRoom = new WebRoom(raiseDescriptorLimit(), songLengthMs);
    error_code failure;
    if (!listen(port, failure)) {
        fprintf(stderr, "tonecast: the room's page cannot be served on port %d: %s\n", port, failure.message().c_str());
        delete webRoom;
        webRoom = nullptr;
        return;
    }
    tellJoinAddresses(port);
    acceptBrowsers();
    webRoom->thread = std::thread([] { webRoom->io.run(); });
}

void announceSongStart(int64_t songOriginNanos) {
    if (webRoom == nullptr) return;
    asio::post(webRoom->io, [songOriginNanos] {
        webRoom->song.originNanos = songOriginNanos;
        forEachPage([](PageSession &page) { page.tellSong(); });
    });
}

void stopWebRoom() {
    if (webRoom == nullptr) return;
    std::future<void> closed = webRoom->pagesClosed.get_future();
    asio::post(webRoom->io, [] {
        error_code ignored;
        webRoom->acceptor.close(ignored);
        webRoom->acceptPause.cancel();
        forEachPage([](PageSession &page) { page.endWithSongOver(); });
        noticeWhenPagesClose();
    });
    closed.wait_for(GOOD_BYE_WAIT);
    webRoom->io.stop();
    webRoom->thread.join();
    delete webRoom;
    webRoom = nullptr;
}
