// Helpers shared by the tests of the echo manager, the dispatch plug-in, the echo media and the
// cross-process tests: a recording media manager, frames with a known pattern, unique media ids
// (so that channel names never meet those of another run) and a look at /dev/shm.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <host/iframe.h>
#include <host/imediamgr.h>
#include <host/mediarecords.h>
#include <tarnmediadispatchvideoecho/echorecords.h>

namespace echotest {

// Keeps the media it is given, like the host's manager, and records every call.
class RecordingMediaMgr : public vantor::IMediaMgr {
public:
    explicit RecordingMediaMgr(bool keep = true) : keep_(keep) {}

    bool addMediaResource(std::shared_ptr<vantor::mediadispatch::Media> media) override {
        std::lock_guard<std::mutex> lock(mutex_);
        added_.push_back(media);
        if (keep_) {
            held_.push_back(media);
        }
        return true;
    }
    bool removeMediaResource(uint64_t id, vantor::EditingMode mode) override {
        std::lock_guard<std::mutex> lock(mutex_);
        removed_.emplace_back(id, mode);
        for (auto it = held_.begin(); it != held_.end(); ++it) {
            if ((*it)->id() == id && (*it)->editingMode() == mode) {
                held_.erase(it);
                break;
            }
        }
        return true;
    }

    // Weak: the test must not keep media alive that the manager would have dropped.
    std::vector<std::weak_ptr<vantor::mediadispatch::Media>> added() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return {added_.begin(), added_.end()};
    }
    std::shared_ptr<vantor::mediadispatch::Media> held(size_t index) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return index < held_.size() ? held_[index] : nullptr;
    }
    std::vector<std::pair<uint64_t, vantor::EditingMode>> removed() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return removed_;
    }

private:
    bool keep_;
    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<vantor::mediadispatch::Media>> added_;   // guarded by mutex_
    std::vector<std::shared_ptr<vantor::mediadispatch::Media>> held_;  // guarded by mutex_
    std::vector<std::pair<uint64_t, vantor::EditingMode>> removed_;    // guarded by mutex_
};

// A one-plane frame of width x height four-byte pixels filled from `seed`.
class PatternFrame {
public:
    PatternFrame(int width, int height, uint32_t seed)
        : pixels_(pattern(size_t(width) * height * 4, seed)) {
        frame_.setWidth(width);
        frame_.setHeight(height);
        frame_.setFormat(26);  // four bytes per pixel
        frame_.setFps(25);
        frame_.kframe()->data[0] = pixels_.data();
        frame_.kframe()->linesize[0] = width * 4;
    }
    static std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
        std::vector<uint8_t> bytes(size);
        uint32_t state = seed * 2654435761U + 1;
        for (auto& byte : bytes) {
            state = state * 1664525U + 1013904223U;
            byte = static_cast<uint8_t>(state >> 24);
        }
        return bytes;
    }
    const qv::mediacore::IFrame* get() const { return &frame_; }
    const std::vector<uint8_t>& bytes() const { return pixels_; }

private:
    std::vector<uint8_t> pixels_;
    qv::mediacore::IFrame frame_;
};

// Whether `frame` holds a one-plane picture of the given size with exactly `expected` bytes.
inline bool frameEquals(const qv::mediacore::IFrame* frame, int width, int height,
                        const std::vector<uint8_t>& expected) {
    if (frame == nullptr || frame->getWidth() != width || frame->getHeight() != height) {
        return false;
    }
    const auto record = frame->kframe();
    if (!record || record->data[0] == nullptr || record->linesize[0] != width * 4) {
        return false;
    }
    return std::memcmp(record->data[0], expected.data(), expected.size()) == 0;
}

// Media ids that no other process uses: the pid in the high digits, a counter in the low ones.
inline uint64_t uniqueMediaId() {
    static std::atomic<uint64_t> counter{0};
    return static_cast<uint64_t>(::getpid()) * 100000 + 10000 + counter.fetch_add(1);
}

inline bool channelExists(const std::string& name) {
    return ::access(("/dev/shm/" + name).c_str(), F_OK) == 0;
}

// Removes the channels it is given, at once and again when it ends.
class ChannelCleaner {
public:
    explicit ChannelCleaner(std::vector<std::string> names) : names_(std::move(names)) { clean(); }
    ~ChannelCleaner() { clean(); }
    void add(const std::string& name) {
        names_.push_back(name);
        ::unlink(("/dev/shm/" + name).c_str());
    }

private:
    void clean() {
        for (const auto& name : names_) {
            ::unlink(("/dev/shm/" + name).c_str());
        }
    }
    std::vector<std::string> names_;
};

inline tarn::MediaInfo mediaInfo(uint64_t mediaId, vantor::EditingMode mode, bool flag = false) {
    tarn::MediaInfo info;
    info.ownerId = 1;
    info.mediaId = mediaId;
    info.editingMode = mode;
    info.mediaFlag = flag;
    return info;
}

inline tarn::mediadispatch::STMediaPlayStateInfo playState(uint64_t mediaId,
                                                           vantor::EditingMode mode, int state,
                                                           bool notify = true) {
    tarn::mediadispatch::STMediaPlayStateInfo info;
    info.notify = notify;
    info.ownerId = 1;
    info.mediaId = mediaId;
    info.editingMode = mode;
    info.playState = static_cast<tarn::mediadispatch::DispatchPlayState>(state);
    return info;
}

// A log line of the library's convention: the message, then " \n //file:function()#line.".
inline bool isLogLine(const std::string& text, const std::string& message, const std::string& file,
                      const std::string& function) {
    const std::string prefix = message + " \n //" + file + ":" + function + "()#";
    if (text.compare(0, prefix.size(), prefix) != 0 || text.size() < prefix.size() + 2 ||
        text.back() != '.') {
        return false;
    }
    const std::string line = text.substr(prefix.size(), text.size() - prefix.size() - 1);
    return std::regex_match(line, std::regex("[1-9][0-9]*"));
}

}  // namespace echotest
