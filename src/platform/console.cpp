#include "platform/console.h"

#ifdef _WIN32
#include <io.h>

bool standardErrorIsTerminal() {
    return _isatty(2) != 0;
}
#else
#include <unistd.h>

bool standardErrorIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}
#endif
