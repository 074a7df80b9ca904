#include "web/conductor_session.h"

#include <boost/beast/core/buffers_to_string.hpp>
#include <utility>

#include "concert/concert_commands.h"

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

// As the audience's pages: a conductor's page answers every ping, so 10 s unheard is one gone.
constexpr auto SILENCE_LIMIT = std::chrono::seconds(10);
constexpr auto PING_INTERVAL = std::chrono::seconds(2);
constexpr auto HANDSHAKE_TIME_LIMIT = std::chrono::seconds(5);
// A projector's page moves its play head itself: ten states a second keep the voices and the
// given notes current.
constexpr auto STATE_GAP = std::chrono::milliseconds(100);
// A command is a few words and numbers.
constexpr size_t LONGEST_COMMAND = 4096;
// A hand on a slider sends some tens a second; more is dropped, and a socket that keeps sending
// far more is no conductor's page.
constexpr int MOST_COMMANDS_A_SECOND = 50;
constexpr int MOST_COMMANDS_DROPPED = 500;
// Pings and the audience's address: a socket that lets this many wait has stalled.
constexpr size_t MOST_QUEUED = 16;

// Each socket plays as a source of its own, so that one closing lets go only of its own keys (a
// reloaded page's new socket may open before the old one is seen gone). Counted on the web's thread.
uint32_t socketsOpened = 0;

}  // namespace

ConductorSession::ConductorSession(asio::ip::tcp::socket tcpSocket, ConnectionPlace connectionPlace)
    : socket(std::move(tcpSocket)),
      place(std::move(connectionPlace)),
      life(socket.get_executor()),
      pinging(socket.get_executor()),
      stateGap(socket.get_executor()),
      liveSource(LIVE_PAGE_SOURCES + (socketsOpened++ & ~LIVE_PAGE_SOURCES)) {}

void ConductorSession::start(const HttpRequest &upgrade, std::string audience, std::string notes, std::string state) {
    socket.set_option(websocket::stream_base::timeout{HANDSHAKE_TIME_LIMIT, websocket::stream_base::none(), false});
    socket.set_option(websocket::stream_base::decorator(guardPage));
    socket.read_message_max(LONGEST_COMMAND);
    socket.text(true);
    outgoing.push_back(std::move(audience));
    notesWaiting = std::move(notes);
    stateWaiting = std::move(state);
    socket.async_accept(upgrade, [self = shared_from_this()](error_code failure) {
        if (failure) return self->end();
        self->writingNow = false;
        self->writeNext();
        self->readCommands();
        self->ping();
        self->watchForLife();
    });
}

void ConductorSession::tellState(std::string state) {
    stateWaiting = std::move(state);
    writeNext();
}

void ConductorSession::tellNotes(std::string notes) {
    notesWaiting = std::move(notes);
    writeNext();
}

void ConductorSession::tell(std::string text) {
    if (!open) return;
    if (outgoing.size() >= MOST_QUEUED) return end();
    outgoing.push_back(std::move(text));
    writeNext();
}

// One message at a time: the small ones first, then the notes (a state names notes by their
// index), then the newest state once its gap is over.
void ConductorSession::writeNext() {
    if (!open || writingNow) return;
    if (!outgoing.empty()) {
        writing = std::move(outgoing.front());
        outgoing.pop_front();
    } else if (!notesWaiting.empty()) {
        writing = std::move(notesWaiting);
        notesWaiting.clear();
    } else if (!stateWaiting.empty()) {
        const Clock::time_point now = Clock::now();
        if (now < nextStateAt) {
            stateGap.expires_at(nextStateAt);
            stateGap.async_wait([self = shared_from_this()](error_code failure) {
                if (!failure) self->writeNext();
            });
            return;
        }
        nextStateAt = now + STATE_GAP;
        writing = std::move(stateWaiting);
        stateWaiting.clear();
    } else {
        return;
    }
    writingNow = true;
    socket.async_write(asio::buffer(writing), [self = shared_from_this()](error_code failure, size_t) {
        self->writingNow = false;
        if (failure) return self->end();
        self->writeNext();
    });
}

void ConductorSession::readCommands() {
    socket.async_read(incoming, [self = shared_from_this()](error_code failure, size_t) {
        if (failure) return self->end();
        const std::string text = boost::beast::buffers_to_string(self->incoming.data());
        self->incoming.consume(self->incoming.size());
        self->watchForLife();
        self->takeMessage(text);
        if (self->open) self->readCommands();
    });
}

void ConductorSession::takeMessage(const std::string &text) {
    ConcertCommand command{};
    const bool read = readConductorCommand(text, command);
    const Clock::time_point now = Clock::now();
    // Keys have their own count: a player's run of notes must not crowd out the conductor's pause.
    if (read && isLiveCommand(command)) {
        command.liveSource = liveSource;
        if (liveKeys.pass(command, now)) postConcertCommand(std::move(command));
        return;
    }
    if (now - commandSecond >= std::chrono::seconds(1)) {
        commandSecond = now;
        commandsInSecond = 0;
    }
    if (++commandsInSecond > MOST_COMMANDS_A_SECOND) {
        if (++commandsDropped >= MOST_COMMANDS_DROPPED) end();
        return;
    }
    if (read) postConcertCommand(std::move(command));
}

void ConductorSession::ping() {
    tell(R"({"ping":)" + std::to_string(++pings) + "}");
    pinging.expires_after(PING_INTERVAL);
    pinging.async_wait([self = shared_from_this()](error_code failure) {
        if (!failure && self->open) self->ping();
    });
}

void ConductorSession::watchForLife() {
    life.expires_after(SILENCE_LIMIT);
    life.async_wait([self = shared_from_this()](error_code failure) {
        if (!failure) self->end();
    });
}

void ConductorSession::end() {
    if (!open) return;
    open = false;
    life.cancel();
    pinging.cancel();
    stateGap.cancel();
    boost::beast::get_lowest_layer(socket).close();
    place.reset();
    if (liveKeys.holdsAny()) {
        ConcertCommand ended{};
        ended.kind = ConcertCommandKind::LiveSourceEnded;
        ended.liveSource = liveSource;
        postConcertCommand(std::move(ended));
    }
}
