#pragma once
// The pages' files, built into the program from the page folder.
#include <cstddef>

struct PageFile {
    // As asked for, "/" for the page itself; a conductor's file's path follows the key.
    const char *path;
    bool forConductor;  // served only under the conductor's key
    const char *type;   // its Content-Type
    const char *body;
};

extern const PageFile PAGE_FILES[];
extern const size_t PAGE_FILE_COUNT;
