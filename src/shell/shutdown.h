#pragma once

// Sends the good-bye datagrams, frees the note schedule, closes the socket, prints "Quit."
// and ends the process with status 0. Every run that got past network start-up ends here.
[[noreturn]] void shutdownAndExit();
