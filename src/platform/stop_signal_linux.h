#pragma once
// A handler of SIGTSTP (Ctrl-Z) that must tidy up before the process stops calls this in its
// middle: the process stops as the signal's default action stops it, and once it is continued the
// call returns, with the handler in place again for the next stop.
void stopUntilContinued(int signalNumber);
