#include "net/client_loop.h"

void runClientLoop() {}
