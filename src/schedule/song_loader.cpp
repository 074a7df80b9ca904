#include "schedule/song_loader.h"

void loadSong() {}
