#pragma once

// Gives the terminal its own mode back (see readTypedKeys), sends the good-bye datagrams, frees
// the note schedule, closes the socket, prints "Quit." and ends the process with the status (0 but
// for a refused command line). Every run that got past network start-up ends here.
[[noreturn]] void shutdownAndExit(int status = 0);
