#include "shell/run_state.h"

#include "platform/clock.h"

RunState runState = {};

int32_t elapsedMs() {
    return static_cast<int32_t>(platformMillis() - runState.startTime);
}
