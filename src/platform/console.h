#pragma once
// The console the program was started from.

// Whether standard error goes to a terminal that a person watches, rather than a file or a pipe.
bool standardErrorIsTerminal();
