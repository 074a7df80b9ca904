#pragma once
// One page's WebSocket, bridged to the server's port as one client slot. The page sends "join" and
// "clock STAMP"; the bridge sends the server the timed connect and clock requests a PC sends, and
// gives the page each reply as one JSON object: {"id":N}, {"welcome":2}, {"clock":S,"server":T},
// {"note":K,"ms":L,"at":T,"hz":F}, {"song":{...}}, {"full":true} and {"over":true}.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "net/protocol.h"

class PageSession : public std::enable_shared_from_this<PageSession> {
public:
    PageSession(boost::asio::ip::tcp::socket socket, std::string songText);
    // Completes the WebSocket handshake the request asked for, then serves the page.
    void start(const boost::beast::http::request<boost::beast::http::string_body> &upgrade);
    // Sends the page a text as it is (one JSON object).
    void tell(const std::string &text);
    // The song's length and start changed: the text is the new {"song":...}.
    void tellSong(const std::string &songText);
    // The server's run ends: the page is told and the socket closed. No disconnect is sent.
    void endWithSongOver();
    bool isOpen() const { return open; }

private:
    void readFromPage();
    void takePageMessage(const std::string &text);
    void join();
    void askForSlot();
    void readFromServer();
    void takeServerReply(int length);
    void writeNext();
    void watchForLife();
    void end();

    boost::beast::websocket::stream<boost::beast::tcp_stream> socket;
    boost::asio::ip::udp::socket room;  // the page's datagram socket, talking to the server's port
    boost::asio::steady_timer retry;    // asks for a slot again while the room has none
    boost::asio::steady_timer life;     // a page not heard for this long is gone
    boost::beast::flat_buffer incoming;
    uint8_t reply[SERVER_RECEIVE_BUFFER] = {};
    std::deque<std::string> outgoing;
    std::string songText;
    int16_t id = -1;
    bool joined = false;
    bool toldFull = false;
    bool open = true;
    bool over = false;
};
