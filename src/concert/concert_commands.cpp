#include "concert/concert_commands.h"

#include <deque>
#include <mutex>
#include <utility>

#include "platform/clock.h"

namespace {
// A conductor clicks a few times a second; more than this waiting means nobody takes them.
constexpr size_t MOST_WAITING_COMMANDS = 256;

std::mutex queueLock;
std::deque<ConcertCommand> waiting;
}  // namespace

void postConcertCommand(ConcertCommand command) {
    {
        const std::lock_guard<std::mutex> hold(queueLock);
        if (waiting.size() >= MOST_WAITING_COMMANDS) return;
        waiting.push_back(std::move(command));
    }
    wakeSocketWait();
}

bool takeConcertCommand(ConcertCommand &command) {
    const std::lock_guard<std::mutex> hold(queueLock);
    if (waiting.empty()) return false;
    command = std::move(waiting.front());
    waiting.pop_front();
    return true;
}
