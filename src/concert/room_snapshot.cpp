#include "concert/room_snapshot.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace {
std::mutex snapshotLock;
RoomSnapshot newest = {};
std::atomic<void (*)()> watcher{nullptr};

void tellWatcher() {
    void (*published)() = watcher.load();
    if (published != nullptr) published();
}
}  // namespace

void publishRoomState(std::string stateJson) {
    {
        const std::lock_guard<std::mutex> hold(snapshotLock);
        newest.stateJson = std::move(stateJson);
        newest.stateVersion++;
    }
    tellWatcher();
}

void publishSongNotes(std::string notesJson) {
    {
        const std::lock_guard<std::mutex> hold(snapshotLock);
        newest.notesJson = std::move(notesJson);
        newest.notesVersion++;
    }
    tellWatcher();
}

RoomSnapshot readRoomSnapshot() {
    const std::lock_guard<std::mutex> hold(snapshotLock);
    return newest;
}

void watchRoomSnapshot(void (*published)()) {
    watcher.store(published);
}
