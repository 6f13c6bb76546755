// Helpers of the frame channel tests: unique channel names and frames that own their planes.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <host/iframe.h>
#include <shm/shmhandle.h>
#include <tarnmediadispatchvideoecho/shmframeheader.h>

namespace channeltest {

inline std::string freshName(const std::string& stem) {
    std::string name = "tarn_chtest_" + std::to_string(::getpid()) + "_" + stem;
    ::shm_unlink(("/" + name).c_str());
    return name;
}

inline bool existsInDevShm(const std::string& name) {
    struct stat status {};
    return ::stat(("/dev/shm/" + name).c_str(), &status) == 0;
}

// How many descriptors of this process refer to /dev/shm/NAME.
inline int descriptorsOf(const std::string& name) {
    int count = 0;
    const std::string target = "/dev/shm/" + name;
    for (int fd = 0; fd < 4096; ++fd) {
        char link[256];
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t length = ::readlink(path.c_str(), link, sizeof link - 1);
        if (length > 0 && std::string(link, static_cast<size_t>(length)) == target) {
            ++count;
        }
    }
    return count;
}

// A host frame with `rows` rows of `linesize[i]` bytes per plane, filled with a pattern that
// depends on `seed`, the plane and the byte's position.
class TestFrame {
public:
    TestFrame(int width, int height, const std::vector<int>& linesizes, uint8_t seed,
              int format = 26, uint64_t fps = 25)
        : TestFrame(width, height, height, linesizes, seed, format, fps) {}

    TestFrame(int width, int height, int rows, const std::vector<int>& linesizes, uint8_t seed,
              int format, uint64_t fps) {
        frame_.setWidth(width);
        frame_.setHeight(height);
        frame_.setFormat(format);
        frame_.setFps(fps);
        auto record = frame_.kframe();
        for (size_t i = 0; i < linesizes.size() && i < planes_.size(); ++i) {
            record->linesize[i] = linesizes[i];
            if (linesizes[i] > 0 && rows > 0) {
                planes_[i].resize(static_cast<size_t>(rows) * static_cast<size_t>(linesizes[i]));
                for (size_t b = 0; b < planes_[i].size(); ++b) {
                    planes_[i][b] = static_cast<uint8_t>(seed + i * 31 + b * 7 + (b >> 11));
                }
                record->data[i] = planes_[i].data();
            }
        }
    }

    const qv::mediacore::IFrame* get() const { return &frame_; }
    qv::mediacore::IFrame* get() { return &frame_; }
    const std::vector<uint8_t>& plane(int i) const { return planes_[static_cast<size_t>(i)]; }

private:
    qv::mediacore::IFrame frame_;
    std::array<std::vector<uint8_t>, 8> planes_;
};

// A 640 x 640 rgba frame whose every 64-bit word holds one stamp, so that a reader can check
// each byte of what it got against the stamp in its first word: a frame mixed from two writes
// cannot pass.
class StampedFrame {
public:
    static constexpr int kSide = 640;
    static constexpr size_t kWords = size_t{kSide} * kSide * 4 / sizeof(uint64_t);

    StampedFrame() : words_(kWords) {
        frame_.setWidth(kSide);
        frame_.setHeight(kSide);
        frame_.setFormat(26);
        frame_.setFps(1000);
        frame_.kframe()->linesize[0] = kSide * 4;
        frame_.kframe()->data[0] = reinterpret_cast<uint8_t*>(words_.data());
    }
    void stamp(uint64_t value) { std::fill(words_.begin(), words_.end(), value); }
    const qv::mediacore::IFrame* get() const { return &frame_; }

    // The stamp of a frame that a reader got, or 0 when any word differs from the first.
    static uint64_t stampOf(const qv::mediacore::IFrame& got) {
        const auto record = got.kframe();
        if (got.getWidth() != kSide || got.getHeight() != kSide ||
            record->linesize[0] != kSide * 4 || record->data[0] == nullptr) {
            return 0;
        }
        uint64_t first;
        std::memcpy(&first, record->data[0], sizeof first);
        for (size_t i = 1; i < kWords; ++i) {
            uint64_t word;
            std::memcpy(&word, record->data[0] + i * sizeof word, sizeof word);
            if (word != first) {
                return 0;
            }
        }
        return first;
    }

private:
    qv::mediacore::IFrame frame_;
    std::vector<uint64_t> words_;
};

// Writes a raw header straight into a segment, as a foreign (possibly hostile) writer would.
inline void pokeHeader(void* segment, const tarn::mediadispatch::ShmFrameHeader& header) {
    std::memcpy(segment, &header, sizeof header);
}

inline tarn::mediadispatch::ShmFrameHeader peekHeader(const void* segment) {
    tarn::mediadispatch::ShmFrameHeader header;
    std::memcpy(&header, segment, sizeof header);
    return header;
}

}  // namespace channeltest
