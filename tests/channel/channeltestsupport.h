// Helpers of the frame channel tests: unique channel names and frames that own their planes.
#pragma once

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
