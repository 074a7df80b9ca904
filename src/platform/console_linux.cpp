#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/console.h"
#include "platform/stop_signal_linux.h"

namespace {

// The terminal's mode as the program found it and the mode that reads keys; both are set before
// any handler may read them. keysWanted is 1 from readTypedKeys until restoreTerminal.
termios ownMode;
termios keyMode;
volatile sig_atomic_t keysWanted = 0;
void (*takeTypedByte)(unsigned char byte) = nullptr;

// Whether the process may set and read its terminal: no other process group of its session holds
// it. A terminal that is not the process's controlling one has no such holder, and always may.
bool holdsTerminal() {
    const pid_t holder = tcgetpgrp(STDIN_FILENO);
    return holder == -1 || holder == getpgrp();
}

// Each safe in a signal handler.
void putOwnMode() {
    if (keysWanted) (void)tcsetattr(STDIN_FILENO, TCSANOW, &ownMode);
}

void putKeyMode() {
    if (keysWanted && holdsTerminal()) (void)tcsetattr(STDIN_FILENO, TCSANOW, &keyMode);
}

// Ctrl-Z: the shell gets the terminal back in its own mode, then the process stops.
void ownModeThenStop(int signalNumber) {
    const int savedErrno = errno;
    putOwnMode();
    stopUntilContinued(signalNumber);
    // Going on, or never stopped at all (the kernel does not stop an orphaned process group).
    putKeyMode();
    errno = savedErrno;
}

// Continued in the foreground (fg), keys are read again; in the background (bg), the terminal
// stays the shell's.
void keyModeAgain(int) {
    const int savedErrno = errno;
    putKeyMode();
    errno = savedErrno;
}

void handleSignal(int signalNumber, void (*handler)(int)) {
    struct sigaction record = {};
    record.sa_handler = handler;
    record.sa_flags = SA_RESTART;
    sigemptyset(&record.sa_mask);
    sigaction(signalNumber, &record, nullptr);
}

void *readKeys(void *) {
    constexpr timespec BACKGROUND_RETRY = {0, 250000000};
    for (;;) {
        unsigned char typed[64];
        const ssize_t count = read(STDIN_FILENO, typed, sizeof typed);
        for (ssize_t i = 0; i < count; i++) takeTypedByte(typed[i]);
        if (count > 0 || (count < 0 && errno == EINTR)) continue;
        // A read in the background fails (SIGTTIN is ignored) until the run is in the foreground
        // again; a terminal that has gone ends the reading.
        if (count == 0 || holdsTerminal()) return nullptr;
        nanosleep(&BACKGROUND_RETRY, nullptr);
    }
}

}  // namespace

bool standardErrorIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

void writeStandardError(const char *text) {
    fputs(text, stderr);
}

bool standardInputIsTerminal() {
    return isatty(STDIN_FILENO) != 0;
}

bool readTypedKeys(void (*takeByte)(unsigned char byte)) {
    if (tcgetattr(STDIN_FILENO, &ownMode) != 0) return false;
    keyMode = ownMode;
    keyMode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keyMode.c_cc[VMIN] = 1;
    keyMode.c_cc[VTIME] = 0;
    takeTypedByte = takeByte;
    struct sigaction stop;
    // A Ctrl-Z that the process ignores (started without job control) stays ignored.
    if (sigaction(SIGTSTP, nullptr, &stop) == 0 && stop.sa_handler == SIG_DFL) handleSignal(SIGTSTP, ownModeThenStop);
    handleSignal(SIGCONT, keyModeAgain);
    signal(SIGTTIN, SIG_IGN);
    keysWanted = 1;
    putKeyMode();
    // The thread takes no signal, so that every handler runs on the song's loop as before.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_t reader;
    const bool started = pthread_create(&reader, nullptr, readKeys, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!started) {
        restoreTerminal();
        return false;
    }
    pthread_detach(reader);
    return true;
}

void restoreTerminal() {
    putOwnMode();
    keysWanted = 0;
}
