#pragma once
// The console the program was started from: whether a person watches it, and the keys typed at it.
// One file per host (console_linux.cpp, console_windows.cpp).

// Whether standard error goes to a terminal that a person watches, rather than a file or a pipe.
bool standardErrorIsTerminal();

// Writes UTF-8 text on standard error. A Windows console is handed it as the console's own wide
// characters, which it shows whatever its code page; a file, a pipe or a Linux terminal gets the
// bytes as they are.
void writeStandardError(const char *text);

// Whether standard input comes from a terminal (on Windows: a console) that a person types at.
bool standardInputIsTerminal();

// Puts standard input's terminal in a mode where each key comes as it is pressed and is not
// echoed, while Ctrl-C still stops the run, and starts a thread that hands every byte typed to
// takeByte, in order. Keys come as a VT terminal sends them: an arrow as ESC [ C (right) or
// ESC [ D (left). The terminal has its own mode back while the process is stopped (Ctrl-Z) or runs
// in the background, and once restoreTerminal is called. False if the terminal's mode cannot be
// read or no thread can be started; the terminal then keeps its mode.
bool readTypedKeys(void (*takeByte)(unsigned char byte));

// Gives standard input's terminal back the mode it had before readTypedKeys; nothing if that was
// never called. Every way out of the process calls it.
void restoreTerminal();
