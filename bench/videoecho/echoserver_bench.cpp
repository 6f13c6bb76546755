// The server's CPU for one card at 1280x720, 30 fps, moving content (compose from an RGBA source
// into I420 + x264 at ultrafast/zerolatency + RTP over RTSP/TCP to one client), as a share of one
// core from getrusage, reported with the same figure for a baseline GStreamer pipeline that
// converts a moving RGBA test picture to I420 and encodes it with the same settings, measured in
// the same run. The client (ffmpeg copying the stream to nowhere) is a separate process.
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <benchmark/benchmark.h>
#include <gst/gst.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <host/videoecho.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using tarn::mediadispatch::VideoEcho;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFps = 30;
constexpr auto kWarmUp = 2s;
constexpr auto kMeasured = 6s;

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Share of one core that this process used while `wait` ran.
template <typename Wait>
double coreShare(Wait wait) {
    const double cpu = processCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    wait();
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    return (processCpuSeconds() - cpu) / wall.count();
}

double baselineShare() {
    GstElement* pipeline = gst_parse_launch(
        "videotestsrc pattern=ball is-live=true ! "
        "video/x-raw,format=RGBA,width=1280,height=720,framerate=30/1 ! videoconvert ! "
        "x264enc speed-preset=ultrafast tune=zerolatency bitrate=2048 key-int-max=60 ! fakesink",
        nullptr);
    if (pipeline == nullptr) {
        return -1;
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    std::this_thread::sleep_for(kWarmUp);
    const double share = coreShare([] { std::this_thread::sleep_for(kMeasured); });
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return share;
}

// A moving RGBA picture: vertical colour bars scrolling by four pixels per frame.
class MovingSource {
public:
    MovingSource() : row_(static_cast<size_t>(kWidth) * 8), picture_(kWidth * kHeight * 4) {
        for (int x = 0; x < kWidth * 2; ++x) {
            const auto v = static_cast<uint8_t>((x / 80) * 37);
            const uint8_t pixel[4] = {v, static_cast<uint8_t>(255 - v), 90, 255};
            std::memcpy(&row_[static_cast<size_t>(x) * 4], pixel, 4);
        }
    }

    void** answer(void** slot) {
        const auto number = static_cast<uint64_t>(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count() *
            kFps);
        if (number != drawn_) {
            const size_t shift = (number * 4) % kWidth;
            for (int y = 0; y < kHeight; ++y) {
                std::memcpy(&picture_[static_cast<size_t>(y) * kWidth * 4], &row_[shift * 4],
                            static_cast<size_t>(kWidth) * 4);
            }
            drawn_ = number;
        }
        auto* out = static_cast<tarn::mediadispatch::VideoEchoSourceFrame*>(*slot);
        out->frame->setWidth(kWidth);
        out->frame->setHeight(kHeight);
        out->frame->setFormat(AV_PIX_FMT_RGBA);
        out->frame->kframe()->data[0] = picture_.data();
        out->frame->kframe()->linesize[0] = kWidth * 4;
        out->sequence = drawn_;
        return slot;
    }

private:
    std::vector<uint8_t> row_;
    std::vector<uint8_t> picture_;
    uint64_t drawn_ = UINT64_MAX;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

pid_t startClient(const std::string& url) {
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-loglevel", "quiet", "-rtsp_transport",
                                     "tcp",    "-i",       url,         "-c",    "copy",
                                     "-f",     "null",     "-"};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    return pid;
}

double echoShare() {
    tarn::mediadispatch::VideoEchoServerOptions options;
    options.bindAddress = "127.0.0.1";
    options.advertisedHost = "127.0.0.1";
    options.port = 0;
    VideoEcho::setServerOptions(options);
    const int handle = VideoEcho::startVideoEchoServer();
    if (handle <= 0) {
        return -1;
    }
    double share = -1;
    {
        auto source = std::make_shared<MovingSource>();
        VideoEcho card({{"bench", 1, "GPU-0", ""}, ""}, "video1", nullptr, handle, true);
        card.setVideoEchoResolution(kWidth, kHeight);
        card.setVideoEchoFPS(kFps);
        card.setVideoEchoBitRate(2048 * 1000);
        card.setVideoEchoTransmissionMode(true);
        card.setVideoEchoSourceCallBack(
            [source](const uint64_t&, void** slot) { return source->answer(slot); });
        card.addSplicingSource(1, 1);
        const pid_t client = startClient(card.getUrl());
        if (client > 0) {
            std::this_thread::sleep_for(kWarmUp);
            share = coreShare([] { std::this_thread::sleep_for(kMeasured); });
            kill(client, SIGTERM);
            waitpid(client, nullptr, 0);
        }
    }
    VideoEcho::stopVideoEchoServer();
    return share;
}

void BM_ServedCardCpuAgainstBaselinePipeline(benchmark::State& state) {
    gst_init(nullptr, nullptr);
    double baseline = 0;
    double echo = 0;
    for (auto _ : state) {
        baseline = baselineShare();
        echo = echoShare();
    }
    if (baseline <= 0 || echo <= 0) {
        state.SkipWithError("a pipeline or the client did not start");
        return;
    }
    state.counters["baseline_core"] = baseline;
    state.counters["echo_core"] = echo;
    state.counters["echo_vs_baseline"] = echo / baseline;
}
BENCHMARK(BM_ServedCardCpuAgainstBaselinePipeline)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
