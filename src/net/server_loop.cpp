#include "net/server_loop.h"

void runServerLoop() {}
