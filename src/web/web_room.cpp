#include "web/web_room.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "web/join_address.h"
#include "web/page_files.h"
#include "web/page_session.h"

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

// A browser asks for a file or the socket in a few hundred bytes; nothing it sends has a body.
constexpr size_t LONGEST_REQUEST_BODY = 1024;
constexpr auto REQUEST_TIME_LIMIT = std::chrono::seconds(30);
// How long the end of a run waits for the pages to have read that the song is over.
constexpr auto GOOD_BYE_WAIT = std::chrono::seconds(1);
constexpr auto GOOD_BYE_CHECK = std::chrono::milliseconds(5);

struct WebRoom {
    asio::io_context io;
    tcp::acceptor acceptor{io};
    std::thread thread;
    std::vector<std::weak_ptr<PageSession>> pages;
    int32_t songLengthMs = 0;
    std::optional<uint32_t> songStart;  // the server's microsecond of the song's beginning, once known
    asio::steady_timer closingCheck{io};
    std::promise<void> pagesClosed;
};

WebRoom *webRoom = nullptr;

std::string songText() {
    std::string text = R"({"song":{"length":)" + std::to_string(webRoom->songLengthMs) + R"(,"start":)";
    text += webRoom->songStart ? std::to_string(*webRoom->songStart) : "null";
    return text + "}}";
}

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

const PageFile *findPageFile(boost::beast::string_view target) {
    const auto query = target.find('?');
    if (query != boost::beast::string_view::npos) target = target.substr(0, query);
    for (size_t i = 0; i < PAGE_FILE_COUNT; i++) {
        if (target == PAGE_FILES[i].path) return &PAGE_FILES[i];
    }
    return nullptr;
}

// One browser connection: files on request, until it asks for the room's socket.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    explicit HttpSession(tcp::socket socket) : stream(std::move(socket)) {}

    void readRequest() {
        parser.emplace();
        parser->body_limit(LONGEST_REQUEST_BODY);
        stream.expires_after(REQUEST_TIME_LIMIT);
        http::async_read(stream, buffer, *parser, [self = shared_from_this()](error_code failure, size_t) {
            if (failure) return self->close();
            self->answer(self->parser->release());
        });
    }

private:
    void answer(const http::request<http::string_body> &request) {
        if (boost::beast::websocket::is_upgrade(request) && request.target() == "/room") {
            stream.expires_never();
            auto page = std::make_shared<PageSession>(stream.release_socket(), songText());
            forgetClosedPages();
            webRoom->pages.push_back(page);
            page->start(request);
            return;
        }
        const PageFile *file = findPageFile(request.target());
        const bool known =
            file != nullptr && (request.method() == http::verb::get || request.method() == http::verb::head);
        response = {known ? http::status::ok : http::status::not_found, request.version()};
        response.set(http::field::content_type, known ? file->type : "text/plain; charset=utf-8");
        response.set(http::field::cache_control, "no-cache");
        response.body() = known ? file->body : "Not found\n";
        response.keep_alive(request.keep_alive());
        response.prepare_payload();
        if (request.method() == http::verb::head) response.body().clear();
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
    boost::beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    http::response<http::string_body> response;
};

void acceptBrowsers() {
    webRoom->acceptor.async_accept([](error_code failure, tcp::socket socket) {
        if (failure == asio::error::operation_aborted) return;
        if (!failure) std::make_shared<HttpSession>(std::move(socket))->readRequest();
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
    webRoom = new WebRoom;
    webRoom->songLengthMs = songLengthMs;
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

void announceSongStart(uint32_t serverMicros) {
    if (webRoom == nullptr) return;
    asio::post(webRoom->io, [serverMicros] {
        webRoom->songStart = serverMicros;
        const std::string text = songText();
        forEachPage([&text](PageSession &page) { page.tellSong(text); });
    });
}

void stopWebRoom() {
    if (webRoom == nullptr) return;
    std::future<void> closed = webRoom->pagesClosed.get_future();
    asio::post(webRoom->io, [] {
        error_code ignored;
        webRoom->acceptor.close(ignored);
        forEachPage([](PageSession &page) { page.endWithSongOver(); });
        noticeWhenPagesClose();
    });
    closed.wait_for(GOOD_BYE_WAIT);
    webRoom->io.stop();
    webRoom->thread.join();
    delete webRoom;
    webRoom = nullptr;
}
