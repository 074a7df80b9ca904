#pragma once

// The "-c" mode: joins a server by broadcast and plays the notes it sends. Returns when nothing
// has arrived for a minute or the socket cannot be bound; a server's good-bye ends the run inside.
void runClientLoop();
