#pragma once
// The songs of a concert: the one given with -s, those of --playlist after it, and files dropped on
// the conductor's page. Only names are kept of a song on disk, which is read when its turn comes;
// a dropped file is kept whole, as nothing else holds it.
#include <cstddef>
#include <cstdint>
#include <string>

struct PlaylistSong {
    std::string name;   // as shown: the file's name
    std::string path;   // where it is read from; empty for a dropped file
    std::string bytes;  // a dropped file, whole
    int32_t lengthMs;   // -1 until the song has been read
};

// At most this many songs (besides the first), and this much kept of dropped files in all.
constexpr size_t MOST_SONGS = 1000;
constexpr size_t MOST_DROPPED_BYTES = size_t{64} << 20;

// The song given with -s, put first.
void startPlaylist(const char *firstPath);
// A folder (its .mid files, in the order of their names) or a file naming one song a line (empty
// lines and lines beginning with # left out; a relative path is taken from the file's folder).
// False when it is neither, or names no song.
bool readPlaylist(const char *path);
// A file dropped on the conductor's page, already read and found a song. False when the playlist
// is full.
bool addDroppedSong(const std::string &name, std::string bytes, int32_t lengthMs);

size_t playlistSize();
PlaylistSong &playlistSong(size_t index);
