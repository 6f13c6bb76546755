// Test fixture: the process's RTSP server started on a free loopback port for each test, and cards
// served on it with a stamped source.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <host/videoecho.h>

#include "stampedsource.h"

namespace videoechotest {

class ServedCard : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A card of this machine ("node-a"), served at `width` x `height` and `fps`, with `source`
    // feeding it.
    std::shared_ptr<tarn::mediadispatch::VideoEcho> makeCard(const std::string& deviceId, int width,
                                                             int height, float fps,
                                                             StampedSource& source);

    int handle_ = 0;
};

// Frames of `width` x `height` I420 in `bytes`.
size_t frameCount(const std::string& bytes, int width, int height);

}  // namespace videoechotest
