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
        const Outcome outcome = playOnce(reason);
        // A stream that ends because the player let go of it is no failure.
        if (outcome == Outcome::stopped || stopping()) {
            break;
        }
        if (frames_.published() != before) {
            // The connection showed pictures before it ended: a new outage, retried soon.
            failing = false;
            delay = policy_.firstDelay;
        }
        if (outcome == Outcome::unplayable) {
            TARN_LOG_ERROR("stream player cannot play {}: {}", url_, reason);
            break;
        }
        if (outcome == Outcome::stalled) {
            // A server may send nothing while its picture stands still, so this is no error; a
            // failing reconnection is logged as one.
            TARN_LOG_INFO(
                "stream player got no picture from {} for {} s; reconnecting", url_,
                std::chrono::duration_cast<std::chrono::seconds>(policy_.stallTimeout).count());
        } else if (!failing) {
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

StreamSession::Outcome StreamSession::playOnce(std::string& reason) {
    StreamPipeline pipeline(url_, frames_);
    if (!pipeline.valid()) {
        reason = pipeline.error();
        return pipeline.unbuildable() ? Outcome::unplayable : Outcome::failed;
    }
    auto lastChange = std::chrono::steady_clock::now();
    uint64_t seen = frames_.published();
    bool announced = false;
    while (!stopping()) {
        const auto event = pipeline.waitForEvent(kBusPoll);
        const auto now = std::chrono::steady_clock::now();
        // Pictures that came just before a failure still count as the connection having played.
        if (frames_.published() != seen) {
            seen = frames_.published();
            lastChange = now;
            if (!announced) {
                TARN_LOG_INFO("stream player playing {}", url_);
                announced = true;
            }
        }
        if (event != StreamPipeline::Event::none) {
            reason = pipeline.error();
            return Outcome::failed;
        }
        // A server that went silent without closing (its machine gone from the network) would
        // otherwise hold the connection for good.
        if (!announced && now - lastChange > policy_.firstPictureTimeout) {
            reason = "no picture arrived";
            return Outcome::failed;
        }
        if (announced && now - lastChange > policy_.stallTimeout) {
            return Outcome::stalled;
        }
    }
    return Outcome::stopped;
}

}  // namespace qv::streammediaplayercore
