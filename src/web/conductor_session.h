#pragma once
// One conductor's WebSocket: told the room's state (at most ten times a second, always the newest),
// the song's notes whenever they change and where the audience joins; it sends the commands that
// steer the song's loop, {"cmd":...}, the keys its player plays, {"live":...}, and answers
// {"ping":N} with {"pong":N}. Keys it still holds when it closes are let go.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "web/conductor_command.h"
#include "web/connection_limits.h"
#include "web/http_answers.h"

class ConductorSession : public std::enable_shared_from_this<ConductorSession> {
public:
    ConductorSession(boost::asio::ip::tcp::socket socket, ConnectionPlace place);
    // Completes the handshake, then tells the conductor the audience's message and the newest
    // notes and state.
    void start(const HttpRequest &upgrade, std::string audience, std::string notes, std::string state);
    // Newer texts to send; a state not yet sent is replaced by a newer one.
    void tellState(std::string state);
    void tellNotes(std::string notes);
    void end();
    bool isOpen() const { return open; }

private:
    void tell(std::string text);
    void writeNext();
    void readCommands();
    void takeMessage(const std::string &text);
    void ping();
    void watchForLife();

    boost::beast::websocket::stream<boost::beast::tcp_stream> socket;
    ConnectionPlace place;
    boost::asio::steady_timer life;      // a conductor not heard for this long is gone
    boost::asio::steady_timer pinging;   // the next {"ping":N}
    boost::asio::steady_timer stateGap;  // the next state may leave at its end
    boost::beast::flat_buffer incoming;
    std::deque<std::string> outgoing;  // the few small messages besides state and notes
    std::string notesWaiting;
    std::string stateWaiting;
    std::string writing;  // the message on its way, kept until it is written
    std::chrono::steady_clock::time_point nextStateAt;
    std::chrono::steady_clock::time_point commandSecond;  // the second the commands are counted in
    int commandsInSecond = 0;
    int commandsDropped = 0;
    uint32_t liveSource;  // who plays the page's keys, to the song's loop
    LiveKeyGate liveKeys;
    long pings = 0;
    bool writingNow = true;  // until the handshake is done
    bool open = true;
};
