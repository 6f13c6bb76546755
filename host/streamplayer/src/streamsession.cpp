#include "streamsession.h"

#include <algorithm>

#include <host/log.h>

#include "streampipeline.h"

namespace qv::streammediaplayercore {

namespace {

constexpr std::chrono::milliseconds kBusPoll{50};

}  // namespace

StreamSession::StreamSession(std::string url, ReconnectPolicy policy)
    : url_(std::move(url)), policy_(policy) {}

std::thread StreamSession::start() {
    return std::thread([self = shared_from_this()] { self->run(); });
}

void StreamSession::requestStop() {
    {
        std::lock_guard<std::mutex> guard(stopMutex_);
        stopping_.store(true, std::memory_order_release);
    }
    stopChanged_.notify_all();
}

bool StreamSession::pause(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lock(stopMutex_);
    return !stopChanged_.wait_for(lock, delay, [this] { return stopping(); });
}

void StreamSession::run() {
    auto delay = policy_.firstDelay;
    bool failing = false;
    while (!stopping()) {
        const uint64_t before = frames_.published();
        std::string reason;
        const bool fatal = !playOnce(reason);
        if (stopping()) {
            break;
        }
        if (frames_.published() != before) {
            // The connection showed pictures before it failed: a new outage, retried at once.
            failing = false;
            delay = policy_.firstDelay;
        }
        if (fatal) {
            TARN_LOG_ERROR("stream player cannot play {}: {}", url_, reason);
            break;
        }
        if (!failing) {
            // Once per outage, not once per attempt: a dead server must not flood the log.
            TARN_LOG_ERROR("stream player cannot play {}: {}; retrying", url_, reason);
            failing = true;
        }
        if (!pause(delay)) {
            break;
        }
        delay = std::min(delay * 2, policy_.maxDelay);
    }
}

bool StreamSession::playOnce(std::string& reason) {
    StreamPipeline pipeline(url_, frames_);
    if (!pipeline.valid()) {
        reason = pipeline.error();
        return !pipeline.unbuildable();
    }
    const auto started = std::chrono::steady_clock::now();
    const uint64_t before = frames_.published();
    bool announced = false;
    while (!stopping()) {
        const auto event = pipeline.waitForEvent(kBusPoll);
        // Pictures that came just before a failure still count as the connection having played.
        if (!announced && frames_.published() != before) {
            TARN_LOG_INFO("stream player playing {}", url_);
            announced = true;
        }
        if (event != StreamPipeline::Event::none) {
            reason = pipeline.error();
            return true;
        }
        if (!announced &&
            std::chrono::steady_clock::now() - started > policy_.firstPictureTimeout) {
            reason = "no picture arrived";
            return true;
        }
    }
    return true;
}

}  // namespace qv::streammediaplayercore
