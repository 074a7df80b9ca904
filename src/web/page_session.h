#pragma once
// One page's WebSocket, bridged to the server's port as one client slot. The page sends "join",
// "clock STAMP" and {"report":{"roundTripMs":x,"late":n,"missed":n}}; the bridge sends the server
// the timed connect, clock requests and reports a PC of the concert's version sends, and gives the
// page each reply as one JSON object: {"id":N}, {"welcome":3}, {"clock":S,"server":T},
// {"note":K,"ms":L,"at":T,"hz":F}, {"songEnd":N}, {"silence":1}, {"song":{...}}, {"full":true}
// and {"over":true}, with {"ping":N} every 2 s, which the page answers with a clock request.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "net/clock_allowance.h"
#include "net/protocol.h"
#include "web/connection_limits.h"
#include "web/http_answers.h"

// A page's {"report":{"roundTripMs":x,"late":n,"missed":n}} as the server's report takes it,
// clamped; false for anything else.
struct PageReport {
    uint32_t roundTripMicros = 0;
    int late = 0;
    int missed = 0;
};
bool readPageReport(const std::string &text, PageReport &report);

class PageSession : public std::enable_shared_from_this<PageSession> {
public:
    // songMessage, the song as pages are told of it, is read whenever the page is told of it, and
    // must outlive the session.
    PageSession(boost::asio::ip::tcp::socket socket, ConnectionPlace place, const std::string &songMessage);
    // Completes the WebSocket handshake the request asked for, then serves the page.
    void start(const HttpRequest &upgrade);
    // The song or its transport changed: the page is told.
    void tellSong();
    // The server's run ends: the page is told and the socket closed. No disconnect is sent.
    void endWithSongOver();
    bool isOpen() const { return open; }
    // The loopback port of the page's datagram socket, as the server sees the page; 0 before the join.
    unsigned short roomPort() const;
    // The page's own address and port, as a conductor is shown it.
    const std::string &pageAddress() const { return remoteAddress; }

private:
    void tell(const std::string &text);
    void passReport(const std::string &text);
    void readFromPage();
    void takePageMessage(const std::string &text);
    void join();
    void askForSlot();
    void readFromServer();
    void takeServerReply(int length);
    void writeNext();
    void ping();
    void watchForLife();
    void giveBackSlot(int16_t slot);
    void end();
    void closeRoomSocket();

    boost::beast::websocket::stream<boost::beast::tcp_stream> socket;
    ConnectionPlace place;
    const std::string &songMessage;
    std::string remoteAddress;
    boost::asio::ip::udp::socket room;  // the page's datagram socket, talking to the server's port
    boost::asio::steady_timer retry;    // asks for a slot again while the room has none
    boost::asio::steady_timer life;     // a page not heard for this long is gone
    boost::asio::steady_timer pinging;  // the next {"ping":N}
    boost::beast::flat_buffer incoming;
    uint8_t reply[SERVER_RECEIVE_BUFFER] = {};
    std::deque<std::string> outgoing;
    long pings = 0;
    ClockAllowance clockAllowance = {};  // whole at the join
    int clockRequestsDropped = 0;
    int64_t nextReportNanos = 0;  // reports are passed on once a second at most
    int16_t id = -1;
    bool joined = false;
    bool toldFull = false;
    bool open = true;
    bool over = false;
};
