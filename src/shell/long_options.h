#pragma once
// The long options. The server's, given with -s FILE or --live: how the song is shaped, what the
// server tells while it plays, how far ahead it sends notes and where live players join. The client's, given with -c:
// which protocol it speaks, its sound device's delay and whether it tells the room's clock. The usage text lists none
// of them; absent, they change nothing.
#include "schedule/song_filter.h"

// A refused option ends the run with this status, as a command-line mistake does in most programs,
// so that a script sees it.
constexpr int BAD_OPTION_STATUS = 2;

// Reads every long option among the arguments but the file's own (at fileArg; 0: no file) into the song's
// filter and the server's report. A missing or bad value is refused with one line on standard
// error that names the option and the form it takes; the result is then false.
bool readServerOptions(int argc, char **argv, int fileArg);

// The same for the client's long options.
bool readClientOptions(int argc, char **argv);

// A list of tracks as --tracks takes it, such as 1,3-5; false when the text is no such list.
bool readTrackList(const char *text, NumberList &tracks);
