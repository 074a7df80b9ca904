#pragma once

// The "-s" mode: loads the song, binds the server port and plays. Returns only when the port
// cannot be bound; otherwise the run ends inside it, at the end of the song.
void runServerLoop();
