#include "shell/run_state.h"

#include "platform/clock.h"

RunState runState = {};

int32_t elapsedMs() {
    return static_cast<int32_t>(platformMillis() - runState.startTime);
}

int32_t msAfter(int32_t moment, int32_t ms) {
    return static_cast<int32_t>(static_cast<uint32_t>(moment) + static_cast<uint32_t>(ms));
}

int32_t msUntil(int32_t moment, int32_t now) {
    return static_cast<int32_t>(static_cast<uint32_t>(moment) - static_cast<uint32_t>(now));
}
