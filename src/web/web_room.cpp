#include "web/web_room.h"

#include <algorithm>
#include <atomic>
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
#include <cctype>
#include <chrono>
#include <cstdio>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "concert/concert_commands.h"
#include "concert/room_snapshot.h"
#include "platform/descriptors.h"
#include "platform/interfaces.h"
#include "web/conductor_key.h"
#include "web/conductor_session.h"
#include "web/connection_limits.h"
#include "web/http_answers.h"
#include "web/join_address.h"
#include "web/page_session.h"
#include "web/room_messages.h"

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;
using boost::string_view;
using boost::system::error_code;

namespace {

// A browser asks for a file or a socket in a few hundred bytes; only a song's upload has a body.
constexpr size_t LONGEST_REQUEST_BODY = 1024;
constexpr uint32_t LONGEST_REQUEST_HEAD = 8192;
// A song dropped on the conductor's page: the room's songs are a few kilobytes to some hundreds.
constexpr size_t LONGEST_SONG_FILE = size_t{1024} * 1024;
constexpr size_t LONGEST_SONG_NAME = 100;
// A browser sends its request as soon as it connects, and opens a new connection when it finds an
// idle one closed: a connection that has not brought a whole request in this time (an idle
// keep-alive, a sender too slow to be a browser) is closed, and its place freed.
constexpr auto REQUEST_TIME_LIMIT = std::chrono::seconds(5);
// Enough to send the page's files, or bring a song's file, over a poor Wi-Fi link.
constexpr auto ANSWER_TIME_LIMIT = std::chrono::seconds(30);
// A wrong key is answered only after this, so that guessing is slow even before it is cut off.
constexpr auto WRONG_KEY_DELAY = std::chrono::seconds(1);
// Two conductors, a teacher's laptop and phone, with a reload or two between them.
constexpr size_t MOST_CONDUCTORS = 4;
// Out of descriptors, a new connection cannot be taken: accepting waits this long before it tries
// again, rather than failing at once forever.
constexpr auto ACCEPT_PAUSE = std::chrono::milliseconds(100);
// How long the end of a run waits for the pages to have read that the song is over.
constexpr auto GOOD_BYE_WAIT = std::chrono::seconds(1);
constexpr auto GOOD_BYE_CHECK = std::chrono::milliseconds(5);
constexpr char CONDUCTOR_PATH[] = "/conductor";

struct WebRoom {
    WebRoom(long descriptorLimit, std::string key) : conductorKey(std::move(key)), limits(descriptorLimit) {}

    // Before the event loop, so that they outlive the sessions its handlers hold.
    const std::string conductorKey;
    std::string audienceMessage;  // {"audience":{...}} for each conductor as its socket opens
    std::string qrSvg;
    AudienceSong song;  // as the audience's pages were last told it
    std::string stateJson;
    std::string notesMessage;
    uint64_t stateVersion = 0;
    uint64_t notesVersion = 0;
    std::atomic<bool> snapshotPosted{false};
    ConnectionLimits limits;
    WrongKeyCount wrongKeys;
    std::set<asio::ip::address> uploading;
    asio::io_context io;
    tcp::acceptor acceptor{io};
    asio::steady_timer acceptPause{io};
    std::thread thread;
    std::vector<std::weak_ptr<PageSession>> pages;
    std::vector<std::weak_ptr<ConductorSession>> conductors;
    asio::steady_timer closingCheck{io};
    std::promise<void> pagesClosed;
};

WebRoom *webRoom = nullptr;

// Each open session of the list, the closed ones forgotten.
template <typename Session, typename Action>
void forEachOpen(std::vector<std::weak_ptr<Session>> &sessions, Action action) {
    std::vector<std::weak_ptr<Session>> open;
    for (const auto &entry : sessions) {
        if (auto session = entry.lock(); session && session->isOpen()) {
            action(*session);
            if (session->isOpen()) open.push_back(session);
        }
    }
    sessions.swap(open);
}

// The loopback port of each joined page, and the page's own address.
std::map<unsigned, std::string> bridgedPages() {
    std::map<unsigned, std::string> addresses;
    forEachOpen(webRoom->pages, [&addresses](const PageSession &page) {
        if (const unsigned short port = page.roomPort(); port != 0) addresses[port] = page.pageAddress();
    });
    return addresses;
}

std::string conductorState() {
    return webRoom->stateJson.empty() ? std::string() : conductorStateMessage(webRoom->stateJson, bridgedPages());
}

// What the song's loop published since the last look: the conductors get all of it, the audience's
// pages the song when its transport moved.
void passSnapshot() {
    webRoom->snapshotPosted = false;
    const RoomSnapshot snapshot = readRoomSnapshot();
    if (snapshot.notesVersion != webRoom->notesVersion) {
        webRoom->notesVersion = snapshot.notesVersion;
        webRoom->notesMessage = R"({"notes":)" + snapshot.notesJson + "}";
        forEachOpen(webRoom->conductors,
                    [](ConductorSession &conductor) { conductor.tellNotes(webRoom->notesMessage); });
    }
    if (snapshot.stateVersion == webRoom->stateVersion) return;
    webRoom->stateVersion = snapshot.stateVersion;
    webRoom->stateJson = snapshot.stateJson;
    if (!webRoom->conductors.empty()) {
        const std::string state = conductorState();
        forEachOpen(webRoom->conductors, [&state](ConductorSession &conductor) { conductor.tellState(state); });
    }
    AudienceSong now;
    if (readAudienceSong(snapshot.stateJson, now) && songMoved(webRoom->song, now)) {
        webRoom->song = now;
        forEachOpen(webRoom->pages, [](PageSession &page) { page.tellSong(); });
    }
}

// On the song's loop's thread: the web thread is woken once for any number of publications.
void snapshotPublished() {
    if (webRoom->snapshotPosted.exchange(true)) return;
    asio::post(webRoom->io, passSnapshot);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "name=" of the query, its %XX and + undone, kept to letters, digits, space, '.', '_' and '-',
// with no dot or space first: a safe file name on any host.
std::string songName(string_view target) {
    const auto query = target.find('?');
    std::string name;
    if (query == string_view::npos) return "song.mid";
    string_view rest = target.substr(query + 1);
    while (!rest.empty()) {
        const string_view pair = rest.substr(0, rest.find('&'));
        rest.remove_prefix(std::min(rest.size(), pair.size() + 1));
        if (pair.substr(0, 5) != "name=") continue;
        for (size_t i = 5; i < pair.size() && name.size() < LONGEST_SONG_NAME; i++) {
            char c = pair[i];
            if (c == '+') c = ' ';
            if (c == '%' && i + 2 < pair.size() && hexDigit(pair[i + 1]) >= 0 && hexDigit(pair[i + 2]) >= 0) {
                c = static_cast<char>(hexDigit(pair[i + 1]) * 16 + hexDigit(pair[i + 2]));
                i += 2;
            }
            const bool safe = isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' ||
                              ((c == '.' || c == ' ') && !name.empty());
            if (safe && static_cast<unsigned char>(c) < 0x80) name += c;
        }
        break;
    }
    return name.empty() ? "song.mid" : name;
}

// One browser connection: files on request, until it asks for a socket.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket socket, ConnectionPlace connectionPlace, asio::ip::address from)
        : stream(std::move(socket)),
          place(std::move(connectionPlace)),
          remote(std::move(from)),
          delay(stream.get_executor()) {}

    void readRequest() {
        parser.emplace();
        // Until the head says whether it is a song's upload, a body may be as long as a song.
        parser->body_limit(LONGEST_SONG_FILE);
        parser->header_limit(LONGEST_REQUEST_HEAD);
        stream.expires_after(REQUEST_TIME_LIMIT);
        http::async_read_header(stream, buffer, *parser,
                                [self = shared_from_this()](error_code failure, size_t) { self->takeHead(failure); });
    }

private:
    void takeHead(error_code failure) {
        const unsigned version = parser->get().version();
        if (failure == http::error::header_limit)
            return send(refusal(http::status::request_header_fields_too_large, version));
        if (failure && failure != http::error::body_limit) return close();
        // The conductor's paths: /conductor/KEY, then a file's name.
        const string_view target = parser->get().target();
        string_view path = target.substr(0, target.find('?'));
        string_view file;
        const bool forConductor = path.substr(0, sizeof CONDUCTOR_PATH - 1) == CONDUCTOR_PATH &&
                                  (path.size() == sizeof CONDUCTOR_PATH - 1 || path[sizeof CONDUCTOR_PATH - 1] == '/');
        if (forConductor) {
            const auto now = WrongKeyCount::Clock::now();
            if (webRoom->wrongKeys.shutOut(remote, now)) return close();
            path.remove_prefix(std::min(path.size(), sizeof CONDUCTOR_PATH));
            const string_view key = path.substr(0, path.find('/'));
            if (!isConductorKey(key, webRoom->conductorKey)) {
                webRoom->wrongKeys.count(remote, now);
                return refuseLater(version);
            }
            file = path.substr(key.size());
            while (!file.empty() && file.front() == '/') file.remove_prefix(1);
            if (file == "songs" && parser->get().method() == http::verb::post) return takeSong(failure);
        }
        if (failure) return close();
        // No other request has a body worth reading.
        if (parser->content_length().value_or(0) > LONGEST_REQUEST_BODY) return close();
        parser->body_limit(LONGEST_REQUEST_BODY);
        readRest([forConductor, file = std::string(file)](HttpSession &self, const HttpRequest &request) {
            if (forConductor) return self.answerConductor(request, file);
            self.answer(request);
        });
    }

    template <typename Then>
    void readRest(Then then) {
        if (parser->is_done()) return then(*this, parser->get());
        http::async_read(stream, buffer, *parser, [self = shared_from_this(), then](error_code failure, size_t) {
            if (failure == http::error::body_limit && self->upload)
                return self->send(refusal(http::status::payload_too_large, self->parser->get().version()));
            if (failure) return self->close();
            then(*self, self->parser->get());
        });
    }

    void answer(const HttpRequest &request) {
        if (!boost::beast::websocket::is_upgrade(request) || request.target() != "/room") {
            return send(answerRequest(request));
        }
        if (!fromOwnPage(request)) return send(refusal(http::status::forbidden, request.version()));
        stream.expires_never();
        auto page = std::make_shared<PageSession>(stream.release_socket(), std::move(place), webRoom->song.message);
        forEachOpen(webRoom->pages, [](PageSession &) {});  // a closed page's entry would keep its memory
        webRoom->pages.push_back(page);
        page->start(request);
    }

    // The conductor's page lives under /conductor/KEY/, so that its files are named relative to it.
    void answerConductor(const HttpRequest &request, const std::string &file) {
        const string_view target = request.target();
        if (file.empty() && target.substr(0, target.find('?')).back() != '/') {
            HttpResponse moved = redirection(webRoom->conductorKey + "/", request.version());
            moved.keep_alive(request.keep_alive());
            return send(std::move(moved));
        }
        if (file != "socket" || !boost::beast::websocket::is_upgrade(request)) {
            HttpResponse fileAnswer = answerConductorRequest(request, file, webRoom->qrSvg);
            if (fileAnswer.result() == http::status::not_found) return refuseLater(request.version());
            return send(std::move(fileAnswer));
        }
        if (!fromOwnPage(request)) return send(refusal(http::status::forbidden, request.version()));
        size_t open = 0;
        forEachOpen(webRoom->conductors, [&open](ConductorSession &) { open++; });
        if (open >= MOST_CONDUCTORS) return send(refusal(http::status::service_unavailable, request.version()));
        stream.expires_never();
        auto conductor = std::make_shared<ConductorSession>(stream.release_socket(), std::move(place));
        webRoom->conductors.push_back(conductor);
        conductor->start(request, webRoom->audienceMessage, webRoom->notesMessage, conductorState());
    }

    // A song's file, one at a time from each address; passed to the song's loop, which reads it.
    void takeSong(error_code headFailure) {
        const unsigned version = parser->get().version();
        if (headFailure) return send(refusal(http::status::payload_too_large, version));
        if (!webRoom->uploading.insert(remote).second) return send(refusal(http::status::too_many_requests, version));
        upload = std::shared_ptr<void>(nullptr, [from = remote, uploading = &webRoom->uploading](void *) {
            uploading->erase(from);
        });
        stream.expires_after(ANSWER_TIME_LIMIT);
        readRest([](HttpSession &self, const HttpRequest &request) {
            ConcertCommand song{};
            song.kind = ConcertCommandKind::AddSong;
            song.name = songName(request.target());
            song.bytes = request.body();
            postConcertCommand(std::move(song));
            self.upload.reset();
            HttpResponse accepted = plainAnswer(http::status::accepted, request.version());
            accepted.keep_alive(request.keep_alive());
            self.send(std::move(accepted));
        });
    }

    void refuseLater(unsigned version) {
        delay.expires_after(WRONG_KEY_DELAY);
        delay.async_wait([self = shared_from_this(), version](error_code failure) {
            if (!failure) self->send(refusal(http::status::not_found, version));
        });
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
    asio::ip::address remote;
    asio::steady_timer delay;
    std::shared_ptr<void> upload;  // this address's one upload, given back when the song is in
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
    if (place) std::make_shared<HttpSession>(std::move(socket), std::move(place), remote.address())->readRequest();
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
    forEachOpen(webRoom->pages, [](PageSession &) {});
    if (webRoom->pages.empty()) return webRoom->pagesClosed.set_value();
    webRoom->closingCheck.expires_after(GOOD_BYE_CHECK);
    webRoom->closingCheck.async_wait([](error_code failure) {
        if (!failure) noticeWhenPagesClose();
    });
}

bool listen(int port, error_code &failure) {
    const tcp::endpoint everyInterface(tcp::v4(), static_cast<unsigned short>(port));
    webRoom->acceptor.open(everyInterface.protocol(), failure);
    if (!failure) webRoom->acceptor.set_option(asio::socket_base::reuse_address(reuseListeningPort()), failure);
    if (!failure) webRoom->acceptor.bind(everyInterface, failure);
    if (!failure) webRoom->acceptor.listen(asio::socket_base::max_listen_connections, failure);
    return !failure;
}

}  // namespace

void startWebRoom(int port, const char *conductorKey) {
    // Each page costs descriptors, and a desktop's default soft limit would cap the room far below
    // what the host allows.
    webRoom = new WebRoom(raiseDescriptorLimit(), makeConductorKey(conductorKey));
    error_code failure;
    if (!listen(port, failure)) {
        fprintf(stderr, "tonecast: the room's page cannot be served on port %d: %s\n", port, failure.message().c_str());
        delete webRoom;
        webRoom = nullptr;
        return;
    }
    const std::string audience = tellJoinAddresses(port, webRoom->conductorKey);
    webRoom->qrSvg = qrCodeSvg(audience);
    webRoom->audienceMessage =
        R"({"audience":{"address":")" + audience + R"(","qr":"/conductor/)" + webRoom->conductorKey + R"(/qr.svg"}})";
    watchRoomSnapshot(snapshotPublished);
    acceptBrowsers();
    webRoom->thread = std::thread([] { webRoom->io.run(); });
    // A state published before the watch began is passed on all the same.
    snapshotPublished();
}

void stopWebRoom() {
    if (webRoom == nullptr) return;
    watchRoomSnapshot(nullptr);
    std::future<void> closed = webRoom->pagesClosed.get_future();
    asio::post(webRoom->io, [] {
        error_code ignored;
        webRoom->acceptor.close(ignored);
        webRoom->acceptPause.cancel();
        forEachOpen(webRoom->conductors, [](ConductorSession &conductor) { conductor.end(); });
        forEachOpen(webRoom->pages, [](PageSession &page) { page.endWithSongOver(); });
        noticeWhenPagesClose();
    });
    closed.wait_for(GOOD_BYE_WAIT);
    webRoom->io.stop();
    webRoom->thread.join();
    delete webRoom;
    webRoom = nullptr;
}
