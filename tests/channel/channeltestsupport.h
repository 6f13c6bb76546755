// Helpers of the frame channel tests: unique channel names, frames that own their planes, and
// child processes that set something up and then wait to be killed.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <host/iframe.h>
#include <host/spdlogapplication.h>

#include "childprocess.h"

namespace channeltest {

inline std::string freshName(const std::string& stem) {
    std::string name = "tarn_chtest_" + std::to_string(::getpid()) + "_" + stem;
    ::shm_unlink(("/" + name).c_str());
    return name;
}

inline bool existsInDevShm(const std::string& name) {
    struct stat status {};
    return ::lstat(("/dev/shm/" + name).c_str(), &status) == 0;
}

// Neither the channel nor its guard is left in /dev/shm.
inline void expectGone(const std::string& name) {
    EXPECT_FALSE(existsInDevShm(name) || existsInDevShm(name + ".guard")) << name << " is left";
}

// A host frame with `height` rows of `linesizes[i]` bytes per plane, filled with a pattern that
// depends on `seed`, the plane and the byte's position.
class TestFrame {
public:
    TestFrame(int width, int height, const std::vector<int>& linesizes, uint8_t seed,
              int format = 26, uint64_t fps = 25) {
        frame_.setWidth(width);
        frame_.setHeight(height);
        frame_.setFormat(format);
        frame_.setFps(fps);
        for (size_t i = 0; i < linesizes.size(); ++i) {
            frame_.kframe()->linesize[i] = linesizes[i];
            planes_[i].resize(static_cast<size_t>(std::max(0, height * linesizes[i])));
            for (size_t b = 0; b < planes_[i].size(); ++b) {
                planes_[i][b] = static_cast<uint8_t>(seed + i * 31 + b * 7 + (b >> 11));
            }
            frame_.kframe()->data[i] = planes_[i].empty() ? nullptr : planes_[i].data();
        }
    }
    const qv::mediacore::IFrame* get() const { return &frame_; }
    qv::mediacore::IFrame* get() { return &frame_; }
    const std::vector<uint8_t>& plane(int i) const { return planes_[static_cast<size_t>(i)]; }

    // Whether `got` is this frame, header and every plane byte.
    bool sameAs(const qv::mediacore::IFrame* got) const {
        if (got == nullptr || got->getWidth() != frame_.getWidth() ||
            got->getHeight() != frame_.getHeight() || got->format() != frame_.format()) {
            return false;
        }
        for (size_t i = 0; i < planes_.size(); ++i) {
            if (got->kframe()->linesize[i] != frame_.kframe()->linesize[i] ||
                (!planes_[i].empty() &&
                 std::memcmp(got->kframe()->data[i], planes_[i].data(), planes_[i].size()) != 0)) {
                return false;
            }
        }
        return true;
    }

private:
    qv::mediacore::IFrame frame_;
    std::array<std::vector<uint8_t>, 8> planes_;
};

// A forked child that runs `setUp`, prints "ready" and waits to be killed (when the object goes).
using Holder = std::unique_ptr<testsupport::ChildProcess>;
inline Holder holder(const std::function<bool()>& setUp) {
    auto child = std::make_unique<testsupport::ChildProcess>([setUp] {
        RW::SpdlogApplication::instance().logger()->set_level(spdlog::level::off);
        if (!setUp()) {
            return 3;
        }
        std::printf("ready\n");
        std::fflush(stdout);
        for (;;) {
            ::pause();
        }
    });
    EXPECT_EQ(child->waitFor("ready"), "ready");
    return child;
}

}  // namespace channeltest
