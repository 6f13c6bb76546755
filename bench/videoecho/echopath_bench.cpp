// The whole echo path at 1280x720, 30 fps, moving content, across a virtual Ethernet link: this
// process serves the cards (compose into I420 + x264 + RTSP), and `videoecho play` runs in a
// network namespace of its own, plays each card through the host's stream player and reads the
// frame number and send time back from every picture at getFrame. Reported: latency p50/p99 at
// getFrame, the share of sent frames that arrived, the server's CPU per stream (getrusage, the
// source's own drawing taken out) next to a plain GStreamer encode of the same size measured in
// the same run, an ffprobe check of the stream, and the frame rate four cards hold at once.
// Without root (or without `ip`) the player runs on loopback, and the label says so.
// VIDEOECHO_BENCH_SECONDS sets how long the players watch (default 10).
#include <sys/resource.h>
#include <time.h>

#include <benchmark/benchmark.h>
#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <boost/process.hpp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <host/videoecho.h>

#include "blockstamp.h"
#include "cli.h"
#include "demonetwork.h"
#include "monoclock.h"

namespace {

namespace bp = boost::process;
using tarn::mediadispatch::VideoEcho;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFps = 30;

double watchSeconds() {
    const char* text = std::getenv("VIDEOECHO_BENCH_SECONDS");
    const double seconds = text != nullptr ? std::atof(text) : 10.0;
    return seconds >= 2 ? seconds : 10.0;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A card's source: RGBA colour bars scrolling by four pixels per frame, with the frame number and
// send time drawn as blocks. Frames are numbered by the clock at the card's rate; the server asks
// four times per interval, so each number is drawn once, when it is first asked for. Remembers
// which numbers it drew and the CPU time it spent drawing (not the server's cost).
class StampedSource {
public:
    StampedSource() : row_(static_cast<size_t>(kWidth) * 8), picture_(kWidth * kHeight * 4) {
        for (int x = 0; x < kWidth * 2; ++x) {
            const auto v = static_cast<uint8_t>((x / 80) * 37);
            const uint8_t pixel[4] = {v, static_cast<uint8_t>(255 - v), 90, 255};
            std::memcpy(&row_[static_cast<size_t>(x) * 4], pixel, 4);
        }
    }

    void** answer(void** slot) {
        const double cpu = threadCpuSeconds();
        const int64_t now = videoecho::monotonicNs();
        const auto number = static_cast<uint32_t>((now - startNs_) * kFps / 1000000000);
        std::lock_guard<std::mutex> lock(mutex_);
        if (number != drawnNumber_) {
            const size_t shift = (static_cast<size_t>(number) * 4) % kWidth;
            for (int y = 0; y < kHeight; ++y) {
                std::memcpy(&picture_[static_cast<size_t>(y) * kWidth * 4], &row_[shift * 4],
                            static_cast<size_t>(kWidth) * 4);
            }
            uint8_t* planes[8] = {picture_.data()};
            const int lineSizes[8] = {kWidth * 4};
            videoecho::drawBlockStamp(videoecho::PatternFormat::rgba, planes, lineSizes, kWidth,
                                      kHeight, {number, now});
            drawnNumber_ = number;
            if (drawn_.size() <= number) {
                drawn_.resize(number + 1, false);
            }
            drawn_[number] = true;
        }
        auto* out = static_cast<tarn::mediadispatch::VideoEchoSourceFrame*>(*slot);
        out->frame->setWidth(kWidth);
        out->frame->setHeight(kHeight);
        out->frame->setFormat(AV_PIX_FMT_RGBA);
        out->frame->kframe()->data[0] = picture_.data();
        out->frame->kframe()->linesize[0] = kWidth * 4;
        out->sequence = drawnNumber_;
        drawingCpu_ += threadCpuSeconds() - cpu;
        return slot;
    }

    // Frames drawn with numbers first..last.
    uint64_t drawnBetween(uint32_t first, uint32_t last) {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t count = 0;
        for (uint32_t n = first; n <= last && n < drawn_.size(); ++n) {
            count += drawn_[n] ? 1 : 0;
        }
        return count;
    }
    double drawingCpu() {
        std::lock_guard<std::mutex> lock(mutex_);
        return drawingCpu_;
    }

private:
    std::mutex mutex_;
    std::vector<uint8_t> row_;
    std::vector<uint8_t> picture_;       // guarded by mutex_
    uint32_t drawnNumber_ = UINT32_MAX;  // guarded by mutex_
    std::vector<bool> drawn_;            // guarded by mutex_
    double drawingCpu_ = 0;              // guarded by mutex_
    const int64_t startNs_ = videoecho::monotonicNs();
};

// Where the players run: a network namespace joined to this one by a virtual link, or loopback.
struct PlayerPlace {
    std::unique_ptr<videoecho::DemoNetwork> network;
    std::string whyNot;
    PlayerPlace() : network(videoecho::DemoNetwork::create({"viewer"}, whyNot)) {}
    std::string serverHost() const { return network ? network->hostAddress() : "127.0.0.1"; }
    std::vector<std::string> argv(std::vector<std::string> command) const {
        if (network) {
            const auto prefix = network->execPrefix(0);
            command.insert(command.begin(), prefix.begin(), prefix.end());
        }
        return command;
    }
    std::string label() const {
        return network ? "player in a network namespace over a virtual link"
                       : "LOOPBACK (no namespace: " + whyNot + ")";
    }
};

// A program run to its end with its stdout kept ("" when it could not start).
class Run {
public:
    explicit Run(const std::vector<std::string>& argv) {
        const boost::filesystem::path program =
            argv[0].find('/') == std::string::npos ? bp::search_path(argv[0]) : argv[0];
        try {
            child_.emplace(program, std::vector<std::string>(argv.begin() + 1, argv.end()),
                           bp::std_out > out_, bp::std_err > bp::null, bp::std_in < bp::null);
        } catch (const bp::process_error&) {
        }
    }
    std::string finish() {
        std::string text;
        std::string line;
        while (child_ && std::getline(out_, line)) {
            text += line + "\n";
        }
        if (child_) {
            child_->wait();
        }
        return text;
    }

private:
    bp::ipstream out_;
    std::optional<bp::child> child_;
};

double number(const std::string& text, const std::string& pattern, int group = 1) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? std::stod(m[group]) : -1;
}

// A served card with its source.
struct Card {
    std::shared_ptr<StampedSource> source = std::make_shared<StampedSource>();
    std::unique_ptr<VideoEcho> echo;

    Card(int handle, int index) {
        echo = std::make_unique<VideoEcho>(
            tarn::mediadispatch::VideoEchoAddr{
                {"bench", static_cast<uint64_t>(index), "GPU-" + std::to_string(index), ""}, ""},
            "video1", nullptr, handle, true);
        echo->setVideoEchoResolution(kWidth, kHeight);
        echo->setVideoEchoFPS(kFps);
        echo->setVideoEchoBitRate(2048 * 1000);
        echo->setVideoEchoTransmissionMode(true);
        auto source = this->source;
        echo->setVideoEchoSourceCallBack(
            [source](const uint64_t&, void** slot) { return source->answer(slot); });
        echo->addSplicingSource(1, 1);
    }
};

struct Served {
    PlayerPlace place;
    int handle = 0;
    std::vector<Card> cards;

    explicit Served(int count) {
        tarn::mediadispatch::VideoEchoServerOptions options;
        options.advertisedHost = place.serverHost();
        options.bindAddress = place.serverHost();
        options.port = 0;
        VideoEcho::setServerOptions(options);
        handle = VideoEcho::startVideoEchoServer();
        for (int i = 0; handle > 0 && i < count; ++i) {
            cards.emplace_back(handle, i + 1);
        }
    }
    ~Served() {
        cards.clear();
        if (handle > 0) {
            VideoEcho::stopVideoEchoServer();
        }
    }
};

// A plain GStreamer encode of a moving 1280x720 RGBA picture with the server's x264 settings:
// the yardstick of the server's CPU in the same run.
double baselineCoreShare() {
    gst_init(nullptr, nullptr);
    GstElement* pipeline = gst_parse_launch(
        "videotestsrc pattern=ball is-live=true ! "
        "video/x-raw,format=RGBA,width=1280,height=720,framerate=30/1 ! videoconvert ! "
        "x264enc speed-preset=ultrafast tune=zerolatency bitrate=2048 key-int-max=60 ! fakesink",
        nullptr);
    if (pipeline == nullptr) {
        return -1;
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpu = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const double share = (processCpuSeconds() - cpu) / 4;
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return share;
}

void BM_OneCardAcrossTheLink(benchmark::State& state) {
    const double seconds = watchSeconds();
    const double baseline = baselineCoreShare();
    Served served(1);
    if (served.handle <= 0) {
        state.SkipWithError("the server did not start");
        return;
    }
    Card& card = served.cards.front();
    std::string probe;
    std::string play;
    double serverCore = 0;
    for (auto _ : state) {
        probe = Run(served.place.argv({"ffprobe", "-v", "error", "-rtsp_transport", "tcp",
                                       "-select_streams", "v:0", "-show_entries",
                                       "stream=codec_name,width,height,r_frame_rate", "-of",
                                       "compact", card.echo->getUrl()}))
                    .finish();
        Run player(served.place.argv({VIDEOECHO_PROGRAM, "play", card.echo->getUrl(), "--seconds",
                                      std::to_string(seconds)}));
        // The player's first second (connect, first key frame) is not the steady state.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double cpu = processCpuSeconds();
        const double drawing = card.source->drawingCpu();
        const int64_t start = videoecho::monotonicNs();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds - 1.5));
        const double wall = static_cast<double>(videoecho::monotonicNs() - start) / 1e9;
        serverCore = (processCpuSeconds() - cpu - (card.source->drawingCpu() - drawing)) / wall;
        play = player.finish();
    }
    state.SetLabel(served.place.label());
    const double p50 = number(play, R"(p50 ([0-9.]+) ms)");
    const double p99 = number(play, R"(p99 ([0-9.]+) ms)");
    const double unique =
        number(play, R"(frames: ([0-9]+) unique frame numbers, ([0-9]+) to ([0-9]+))");
    const double first =
        number(play, R"(frames: ([0-9]+) unique frame numbers, ([0-9]+) to ([0-9]+))", 2);
    const double last =
        number(play, R"(frames: ([0-9]+) unique frame numbers, ([0-9]+) to ([0-9]+))", 3);
    if (p50 < 0 || unique <= 0) {
        state.SkipWithError(("no stamped picture arrived: " + play).c_str());
        return;
    }
    const auto sent = static_cast<double>(
        card.source->drawnBetween(static_cast<uint32_t>(first), static_cast<uint32_t>(last)));
    const bool probeOk = probe.find("codec_name=h264") != std::string::npos &&
                         probe.find("width=1280") != std::string::npos &&
                         probe.find("height=720") != std::string::npos &&
                         probe.find("r_frame_rate=30/1") != std::string::npos;
    state.counters["namespaces"] = served.place.network ? 1 : 0;
    state.counters["ffprobe_h264_1280x720_30"] = probeOk ? 1 : 0;
    state.counters["latency_p50_ms"] = p50;
    state.counters["latency_p99_ms"] = p99;
    state.counters["p50_vs_frame_interval"] = p50 / (1000.0 / kFps);
    state.counters["frames_sent"] = sent;
    state.counters["frames_unique"] = unique;
    state.counters["delivered"] = unique / sent;
    state.counters["server_core"] = serverCore;
    state.counters["baseline_encode_core"] = baseline;
    state.counters["server_vs_baseline"] = baseline > 0 ? serverCore / baseline : 0;
}
BENCHMARK(BM_OneCardAcrossTheLink)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_FourCardsAtOnce(benchmark::State& state) {
    const double seconds = std::min(watchSeconds(), 20.0);
    Served served(4);
    if (served.handle <= 0) {
        state.SkipWithError("the server did not start");
        return;
    }
    std::vector<std::string> plays;
    double serverCore = 0;
    for (auto _ : state) {
        std::vector<std::unique_ptr<Run>> players;
        for (auto& card : served.cards) {
            players.push_back(std::make_unique<Run>(
                served.place.argv({VIDEOECHO_PROGRAM, "play", card.echo->getUrl(), "--seconds",
                                   std::to_string(seconds)})));
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        double drawing = 0;
        for (auto& card : served.cards) {
            drawing -= card.source->drawingCpu();
        }
        const double cpu = processCpuSeconds();
        const int64_t start = videoecho::monotonicNs();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds - 1.5));
        const double wall = static_cast<double>(videoecho::monotonicNs() - start) / 1e9;
        for (auto& card : served.cards) {
            drawing += card.source->drawingCpu();
        }
        serverCore = (processCpuSeconds() - cpu - drawing) / wall;
        for (auto& p : players) {
            plays.push_back(p->finish());
        }
    }
    state.SetLabel(served.place.label());
    double slowest = 1e9;
    double worstP99 = 0;
    for (const auto& play : plays) {
        slowest = std::min(slowest, number(play, R"(\(([0-9.]+) per second\))"));
        worstP99 = std::max(worstP99, number(play, R"(p99 ([0-9.]+) ms)"));
    }
    if (slowest <= 0) {
        state.SkipWithError("a card showed no picture");
        return;
    }
    state.counters["namespaces"] = served.place.network ? 1 : 0;
    state.counters["slowest_card_fps"] = slowest;
    state.counters["slowest_vs_30fps"] = slowest / kFps;
    state.counters["worst_latency_p99_ms"] = worstP99;
    state.counters["server_core_per_stream"] = serverCore / 4;
}
BENCHMARK(BM_FourCardsAtOnce)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
