// A source callback for tests: every media it knows shows a moving picture whose frame number is
// drawn as 16 large black/white blocks at the top (big enough to survive the encoder), over a grey
// level of its own. Frame numbers advance with the clock at the source's rate. A media can be taken
// away (the callback then answers "no picture"). Callable from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <host/videoecho.h>

namespace videoechotest {

class StampedSource {
public:
    StampedSource(int width, int height, double fps);

    void add(uint64_t mediaId, uint8_t grey);
    void remove(uint64_t mediaId);
    tarn::mediadispatch::VideoEchoSourceCallBack callback();
    // How often the server asked for `mediaId` (it asks only while somebody watches).
    uint64_t asked(uint64_t mediaId) const;
    // The highest frame number drawn so far.
    uint64_t newestStamp() const;

    // The stamp drawn in a luma plane of `width` x `height` (the same layout as the source's).
    static uint32_t readStamp(const uint8_t* luma, int width, int height);

private:
    struct Media;
    void** answer(uint64_t mediaId, void** slot);

    const int width_;
    const int height_;
    const double fps_;
    const int64_t start_;
    mutable std::mutex mutex_;
    std::map<uint64_t, std::shared_ptr<Media>> media_;  // guarded by mutex_
    uint64_t newestStamp_ = 0;                          // guarded by mutex_
    std::map<uint64_t, uint64_t> asked_;                // guarded by mutex_
};

}  // namespace videoechotest
