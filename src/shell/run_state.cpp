#include "shell/run_state.h"

RunState runState = {};
