// A real echo manager that also records what the inter-machine channels hand it, so that a test
// can wait for a record to arrive. Thread-safe: the channels call it on their delivery threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include <tarnmediadispatchvideoecho/videoechomgr.h>

namespace tarn::mediadispatch::testing {

class RecordingMgr : public VideoEchoMgr {
public:
    struct Seen {
        std::vector<VideoEchoAddr> addMedia;
        std::vector<VideoEchoAddr> addEcho;
        std::vector<VideoEchoSpliceStrategy> updates;  // updateSpliceStrategy
        std::vector<VideoEchoSpliceStrategy> sets;     // setVideoEchoSpliceStrategy
        int echoInfoRequests = 0;
    };

    using VideoEchoMgr::addEcho;

    void AddMedia(const VideoEchoAddr& addr) override {
        VideoEchoMgr::AddMedia(addr);
        note([&](Seen& seen) { seen.addMedia.push_back(addr); });
    }
    void addEcho(const VideoEchoAddr& addr) override {
        VideoEchoMgr::addEcho(addr);
        note([&](Seen& seen) { seen.addEcho.push_back(addr); });
    }
    void updateSpliceStrategy(const VideoEchoSpliceStrategy& strategy) override {
        VideoEchoMgr::updateSpliceStrategy(strategy);
        note([&](Seen& seen) { seen.updates.push_back(strategy); });
    }
    void setVideoEchoSpliceStrategy(const VideoEchoSpliceStrategy& strategy) override {
        VideoEchoMgr::setVideoEchoSpliceStrategy(strategy);
        note([&](Seen& seen) { seen.sets.push_back(strategy); });
    }
    std::vector<EchoInfo> getAllEchoInfo() override {
        auto infos = VideoEchoMgr::getAllEchoInfo();
        note([&](Seen& seen) { ++seen.echoInfoRequests; });
        return infos;
    }

    // Waits until `done(seen)` holds, at most `timeout`.
    bool waitFor(const std::function<bool(const Seen&)>& done, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(seen_); });
    }
    Seen seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    void note(const std::function<void(Seen&)>& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change(seen_);
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    Seen seen_;  // guarded by mutex_
};

}  // namespace tarn::mediadispatch::testing
