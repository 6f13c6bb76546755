// Hands the newest decoded picture from the streaming thread to the player thread without a queue:
// three picture buffers rotate (one being written, one ready, one shown), so a slow reader skips
// pictures instead of piling them up and buffers of a steady size are never reallocated.
// fill/publish belong to one producer thread, takeNewest to one consumer thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace qv::streammediaplayercore {

constexpr int kPicturePlanes = 3;

struct Picture {
    int width = 0;
    int height = 0;
    uint64_t fps = 0;
    uint64_t number = 0;  // counts pictures of a player from 1
    std::vector<uint8_t> planes[kPicturePlanes];
    int lineSizes[kPicturePlanes] = {};
};

class LatestFrame {
public:
    // The producer's buffer to write the next picture into; it keeps its old contents and size.
    Picture& spare() { return spare_; }
    // Makes the spare picture the newest one; an unread older one becomes the next spare.
    void publish();
    // Swaps `shown` with the newest picture if one arrived since the last call; false otherwise.
    bool takeNewest(Picture& shown);
    uint64_t published() const;

private:
    Picture spare_;  // producer only
    mutable std::mutex mutex_;
    Picture ready_;       // guarded by mutex_
    bool fresh_ = false;  // guarded by mutex_
    uint64_t count_ = 0;  // guarded by mutex_
};

}  // namespace qv::streammediaplayercore
