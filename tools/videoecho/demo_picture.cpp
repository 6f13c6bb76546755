#include "demo_picture.h"

#include <time.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include <host/imediaplayer.h>
#include <tarnmediadispatchvideoecho/echomedia.h>
#include <tarnmediadispatchvideoecho/ivideoechomgr.h>

#include "blockstamp.h"
#include "cli.h"
#include "framecopy.h"
#include "monoclock.h"
#include "pattern.h"
#include "pngwriter.h"
#include "sendoptions.h"

namespace videoecho {

uint64_t sendDemoPattern(tarn::mediadispatch::IVideoEchoMgr& mgr, const tarn::MediaInfo& media,
                         int width, int height, double fps, double seconds) {
    PatternFrame frame(PatternFormat::yuv420p, width, height, static_cast<int>(fps));
    const uint32_t session = newSessionId();
    const auto frames = static_cast<uint64_t>(seconds * fps);
    const auto periodNs = static_cast<int64_t>(1e9 / fps);
    const int64_t startNs = monotonicNs();
    uint64_t sent = 0;
    for (; sent < frames; ++sent) {
        const int64_t due = startNs + static_cast<int64_t>(sent) * periodNs;
        const timespec at{static_cast<time_t>(due / 1000000000),
                          static_cast<long>(due % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        frame.draw(sent);
        frame.stamp({session, sent, monotonicNs()});
        mgr.updateFrameData(media, &frame.frame());
    }
    return sent;
}

namespace {

// How often the reading thread asks every player for its newest picture: well under a frame
// interval, so that the latency measured at getFrame is not dominated by the polling.
constexpr auto kPollInterval = std::chrono::milliseconds(2);
// A picture for the PNG is copied at most this often (a copy per frame would cost more than the
// reading itself).
constexpr int64_t kCopyEveryNs = 250'000'000;

struct Watched {
    DemoCardWatcher::Result result;
    bool showing = false;
    std::shared_ptr<vantor::mediadispatch::EchoMedia> media;
    std::shared_ptr<qv::mediacore::IMediaPlayer> player;
    qv::mediacore::IFrame* lastFrame = nullptr;
    std::set<uint32_t> frames;
    std::vector<int64_t> latencies;
    FrameCopy picture;  // the newest stamped picture, copied
    BlockStamp pictureStamp;
    int64_t pictureLatencyNs = 0;
    int64_t copiedAt = 0;
};

}  // namespace

struct DemoCardWatcher::Impl {
    std::mutex mutex;
    std::vector<Watched> cards;  // guarded by mutex once the thread runs
    std::atomic<bool> stop{false};
    std::thread reader;

    void readOnce(Watched& w) {
        qv::mediacore::IFrame* frame = w.player->getFrame(0.0);
        const int64_t now = monotonicNs();
        if (frame == nullptr) {
            return;
        }
        const FrameView view = viewOf(*frame);
        const auto stamp = readBlockStamp(view);
        if (!stamp) {
            // A picture without a stamp: the card is black until the node sends.
            w.showing = true;
            return;
        }
        if (!w.frames.insert(stamp->frame).second) {
            return;
        }
        w.showing = true;
        w.latencies.push_back(now - stamp->sentNs);
        if (now - w.copiedAt >= kCopyEveryNs) {
            w.picture.assign(view);
            w.pictureStamp = *stamp;
            w.pictureLatencyNs = now - stamp->sentNs;
            w.copiedAt = now;
        }
    }

    void run() {
        while (!stop) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (auto& w : cards) {
                    readOnce(w);
                }
            }
            std::this_thread::sleep_for(kPollInterval);
        }
    }
};

DemoCardWatcher::DemoCardWatcher(const std::vector<Card>& cards) : impl_(std::make_unique<Impl>()) {
    uint64_t id = 1;
    for (const auto& card : cards) {
        Watched w;
        w.result.card = card;
        // The way a viewing machine plays another machine's card: an echo media of the stream
        // type, whose player the media creates from the card's URL.
        w.media = std::make_shared<vantor::mediadispatch::EchoMedia>(
            id++, std::weak_ptr<qv::mediacore::IMeta>{}, vantor::kEditingModeLive, false);
        w.media->setEchoType(vantor::mediadispatch::kEchoTypeStream);
        w.media->setPlayerInfo(card.url, nullptr, card.card);
        for (const auto& info : w.media->getPlayers({})) {
            w.player = info.mediaPlayer.lock();
        }
        if (!w.player) {
            throw RunError("the echo media made no player for " + card.url);
        }
        w.media->play(0.0);
        impl_->cards.push_back(std::move(w));
    }
    impl_->reader = std::thread([this] { impl_->run(); });
}

DemoCardWatcher::~DemoCardWatcher() {
    impl_->stop = true;
    if (impl_->reader.joinable()) {
        impl_->reader.join();
    }
    for (auto& w : impl_->cards) {
        w.media->stop();
    }
}

size_t DemoCardWatcher::waitFirstPictures(int timeoutMs) {
    const int64_t deadline = monotonicNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    for (;;) {
        size_t showing = 0;
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            for (const auto& w : impl_->cards) {
                showing += w.showing ? 1 : 0;
            }
        }
        if (showing == impl_->cards.size() || monotonicNs() > deadline) {
            return showing;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<DemoCardWatcher::Result> DemoCardWatcher::finish(const std::string& pngPath) {
    impl_->stop = true;
    if (impl_->reader.joinable()) {
        impl_->reader.join();
    }
    std::vector<Result> results;
    bool written = pngPath.empty();
    for (auto& w : impl_->cards) {
        w.media->stop();
        w.result.unique = w.frames.size();
        w.result.latency = percentilesOf(w.latencies);
        if (!written && !w.picture.empty()) {
            writePng(w.picture.view(), pngPath);
            written = true;
            w.result.png = true;
            w.result.pngFrame = w.pictureStamp.frame;
            w.result.pngLatencyMs = static_cast<double>(w.pictureLatencyNs) / 1e6;
        }
        results.push_back(w.result);
    }
    return results;
}

}  // namespace videoecho
