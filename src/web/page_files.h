#pragma once
// The page's files, built into the program from the page folder.
#include <cstddef>

struct PageFile {
    const char *path;  // as asked for, "/" for the page itself
    const char *type;  // its Content-Type
    const char *body;
};

extern const PageFile PAGE_FILES[];
extern const size_t PAGE_FILE_COUNT;
