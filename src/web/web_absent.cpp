// The Windows build serves no web page: the libraries behind it are not part of its cross-build.
#include <cstdio>

#include "web/web_room.h"

void startWebRoom(int, const char *) {
    fprintf(stderr, "tonecast: this build serves no web page; --web is left out\n");
}

void stopWebRoom() {}
