#include "concert/playlist.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<PlaylistSong> songs;
size_t droppedBytes = 0;

bool isMidiName(const fs::path &path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".mid";
}

bool addPath(const fs::path &path) {
    if (songs.size() >= MOST_SONGS) return false;
    songs.push_back({path.filename().string(), path.string(), {}, -1});
    return true;
}

bool readFolder(const fs::path &folder) {
    std::error_code failure;
    std::vector<fs::path> found;
    for (fs::directory_iterator entry(folder, failure), end; !failure && entry != end; entry.increment(failure)) {
        if (entry->is_regular_file(failure) && isMidiName(entry->path())) found.push_back(entry->path());
    }
    if (failure) return false;
    std::sort(found.begin(), found.end());
    for (const fs::path &path : found) addPath(path);
    return !found.empty();
}

bool readList(const fs::path &list) {
    std::ifstream lines(list);
    if (!lines) return false;
    bool named = false;
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const fs::path linePath(line);
        named = addPath(linePath.is_absolute() ? linePath : list.parent_path() / linePath) || named;
    }
    return named;
}

}  // namespace

void startPlaylist(const char *firstPath) {
    const fs::path path(firstPath);
    songs.insert(songs.begin(), {path.filename().string(), path.string(), {}, -1});
}

bool readPlaylist(const char *path) {
    std::error_code failure;
    const fs::path given(path);
    if (fs::is_directory(given, failure)) return readFolder(given);
    return readList(given);
}

bool addDroppedSong(const std::string &name, std::string bytes, int32_t lengthMs) {
    if (songs.size() >= MOST_SONGS || droppedBytes + bytes.size() > MOST_DROPPED_BYTES) return false;
    droppedBytes += bytes.size();
    songs.push_back({name, {}, std::move(bytes), lengthMs});
    return true;
}

size_t playlistSize() {
    return songs.size();
}

PlaylistSong &playlistSong(size_t index) {
    return songs[index];
}
