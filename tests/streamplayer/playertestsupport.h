// Helpers of the stream player's tests: waiting for a picture, copying one to compare later, and
// timing a call.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include <host/iframe.h>
#include <host/streammediaplayer.h>

namespace streamplayertest {

using Clock = std::chrono::steady_clock;
using qv::streammediaplayercore::StreammediaPlayer;

inline std::chrono::milliseconds timeOf(const std::function<void()>& call) {
    const auto start = Clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// Polls `condition` every 10 ms, as a host's player thread would poll getFrame.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// The luma plane of a picture, to tell pictures apart.
inline std::vector<uint8_t> lumaOf(const qv::mediacore::IFrame& frame) {
    const auto record = frame.kframe();
    const auto* data = record->data[0];
    return std::vector<uint8_t>(
        data, data + static_cast<size_t>(record->linesize[0]) * frame.getHeight());
}

// Waits for a picture of the given size whose luma differs from `unlike` (empty: any picture).
inline bool pictureArrives(StreammediaPlayer& player, int width, int height,
                           const std::vector<uint8_t>& unlike, std::chrono::milliseconds limit) {
    return eventually(
        [&] {
            qv::mediacore::IFrame* frame = player.getFrame(0.0);
            return frame != nullptr && frame->getWidth() == width && frame->getHeight() == height &&
                   lumaOf(*frame) != unlike;
        },
        limit);
}

}  // namespace streamplayertest
