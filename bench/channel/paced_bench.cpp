// Two processes, 640 x 640 RGBA frames written at 1 kHz by one and read as fast as it can by the
// other: through the echo channel (SharedMemoryIPCServer -> SharedMemoryPlayer, the reader either
// polling getFrame or sleeping in waitForFrame), and, as a reference in the same run, through
// GStreamer's shmsink -> shmsrc. As information, the channel also with its writer flat out (no
// pause at all), where a one-frame mailbox whose writer never waits cannot promise the reader
// any frame: the counters tell what it gets. Each frame carries its number
// and the writer's CLOCK_MONOTONIC at its start and is filled with one byte value; a frame read
// with a byte of another value is counted as torn. Counters:
//   new_frames_per_s  intact frames not seen before, per second of the writer's run
//   seen_fraction     those frames / frames written
//   latency_p50_us, latency_p99_us   from the writer's stamp to the reader's first sight
//   torn              frames read with mixed contents (must be 0 for the channel)
// The reference is not like for like: shmsink hands out its buffers without a copy and makes its
// writer wait while the reader holds them (shm-size below), where the channel's writer never waits
// and its reader copies each frame. VIDEOECHO_BENCH_SECONDS sets the writer's run (default 5).
// A writer that the machine kept past a frame's time goes on from then, half a period after its
// last frame at least, instead of catching up in a burst.
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

constexpr int kSide = 640;
constexpr size_t kFrameBytes = size_t{kSide} * kSide * 4;
constexpr int64_t kPacedNs = 1000000;  // 1 kHz
constexpr size_t kGstShmSize = 8 * kFrameBytes;

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

int64_t runNs() {
    const char* seconds = std::getenv("VIDEOECHO_BENCH_SECONDS");
    const int64_t value = seconds != nullptr ? std::atoll(seconds) : 5;
    return std::max<int64_t>(value, 1) * 1000000000;
}

// Frame `number`: filled with its low byte, then number and start time in the first 16 bytes.
void stamp(uint8_t* pixels, uint64_t number) {
    std::memset(pixels, static_cast<int>(number & 0xff), kFrameBytes);
    const int64_t now = monotonicNs();
    std::memcpy(pixels, &number, 8);
    std::memcpy(pixels + 8, &now, 8);
}

// What the reader saw, turned into the counters.
class Tally {
public:
    // Takes a frame read; true when it is intact.
    void take(const uint8_t* pixels) {
        uint64_t number = 0;
        int64_t sent = 0;
        std::memcpy(&number, pixels, 8);
        std::memcpy(&sent, pixels + 8, 8);
        const auto fill = static_cast<uint8_t>(number & 0xff);
        if (pixels[16] != fill || pixels[kFrameBytes / 2] != fill ||
            pixels[kFrameBytes - 1] != fill) {
            ++torn_;
            return;
        }
        if (seen_.size() <= number) {
            seen_.resize(number + 1024, false);
        }
        if (!seen_[number]) {
            seen_[number] = true;
            latenciesUs_.push_back(static_cast<double>(monotonicNs() - sent) / 1000.0);
        }
    }

    void report(benchmark::State& state, uint64_t written, int64_t runNs) {
        std::sort(latenciesUs_.begin(), latenciesUs_.end());
        const auto at = [&](double q) {
            return latenciesUs_.empty()
                       ? 0.0
                       : latenciesUs_[static_cast<size_t>(q * (latenciesUs_.size() - 1))];
        };
        const auto seen = static_cast<double>(latenciesUs_.size());
        state.counters["new_frames_per_s"] = seen / (static_cast<double>(runNs) / 1e9);
        state.counters["seen_fraction"] = written > 0 ? seen / static_cast<double>(written) : 0;
        state.counters["latency_p50_us"] = at(0.50);
        state.counters["latency_p99_us"] = at(0.99);
        state.counters["torn"] = static_cast<double>(torn_);
        state.counters["written"] = static_cast<double>(written);
    }

private:
    std::vector<bool> seen_;
    std::vector<double> latenciesUs_;
    uint64_t torn_ = 0;
};

// Runs `write(number)` in a forked child every `intervalNs` (0: flat out) for the run, then
// `finish()` there, and `read()` here until the child is done; the child reports how many frames
// it wrote through a pipe. False if it could not run.
bool runPaced(int64_t intervalNs, const std::function<bool(uint64_t)>& setUpAndWrite,
              const std::function<void()>& finish, const std::function<void()>& read,
              uint64_t& written) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return false;
    }
    const pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        close(pipeEnds[0]);
        const int64_t start = monotonicNs();
        const int64_t end = start + runNs();
        uint64_t count = 0;
        for (int64_t due = start; due < end;
             due = std::max(due + intervalNs, monotonicNs() + intervalNs / 2)) {
            const timespec at{static_cast<time_t>(due / 1000000000),
                              static_cast<long>(due % 1000000000)};
            if (intervalNs > 0) {
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
            }
            if (setUpAndWrite(count)) {
                ++count;
            }
        }
        finish();
        const bool told = ::write(pipeEnds[1], &count, sizeof count) == sizeof count;
        _exit(told ? 0 : 1);
    }
    close(pipeEnds[1]);
    // Reads until the child has told its count (it may run late when its sink makes it wait).
    pollfd told{pipeEnds[0], POLLIN, 0};
    for (uint64_t reads = 0;; ++reads) {
        read();
        if (reads % 16 == 0 && poll(&told, 1, 0) > 0) {
            break;
        }
    }
    const bool counted = ::read(pipeEnds[0], &written, sizeof written) == sizeof written;
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return counted && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// range(0): the writer's interval in ns (0: flat out); range(1): 1 when the reader waits for
// each frame (waitForFrame), 0 when it polls (getFrame).
void BM_ChannelTwoProcesses(benchmark::State& state) {
    const std::string name = "tarn_paced_" + std::to_string(getpid());
    const bool waits = state.range(1) != 0;
    for (auto _ : state) {
        Tally tally;
        uint64_t written = 0;
        std::unique_ptr<tarn::mediadispatch::SharedMemoryIPCServer> writer;
        std::vector<uint8_t> pixels(kFrameBytes);
        qv::mediacore::IFrame frame;
        const auto write = [&](uint64_t number) {
            if (!writer) {
                writer = std::make_unique<tarn::mediadispatch::SharedMemoryIPCServer>(name);
                writer->play(0, 0);
                frame.setWidth(kSide);
                frame.setHeight(kSide);
                frame.setFormat(26);
                frame.kframe()->data[0] = pixels.data();
                frame.kframe()->linesize[0] = kSide * 4;
            }
            stamp(pixels.data(), number);
            writer->updateFrame(&frame, 0);
            return true;
        };
        vantor::mediadispatch::SharedMemoryPlayer player(nullptr, name);
        player.play(0, 0);
        const auto read = [&] {
            auto* got =
                waits ? player.waitForFrame(std::chrono::milliseconds(5)) : player.getFrame(0);
            if (got != nullptr &&
                player.lastRead().status == vantor::mediadispatch::ChannelReadStatus::newFrame) {
                tally.take(got->kframe()->data[0]);
            }
        };
        const auto finish = [&] { writer.reset(); };  // lets go of the channel's names
        if (!runPaced(state.range(0), write, finish, read, written)) {
            state.SkipWithError("the writer process failed");
            return;
        }
        player.stop(true);
        tally.report(state, written, runNs());
    }
}
BENCHMARK(BM_ChannelTwoProcesses)
    ->ArgNames({"interval_ns", "waits"})
    ->Args({kPacedNs, 0})
    ->Args({kPacedNs, 1})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// The reference: appsrc ! shmsink in the writer, shmsrc ! appsink in the reader, the sink keeping
// only the newest frame as the channel does.
void BM_GstShmSinkToShmSrcReference(benchmark::State& state) {
    const std::string socket = "/tmp/tarn_paced_" + std::to_string(getpid()) + ".sock";
    const std::string caps = "video/x-raw,format=RGBA,width=640,height=640,framerate=1000/1";
    for (auto _ : state) {
        Tally tally;
        uint64_t written = 0;
        GstElement* writerPipeline = nullptr;
        GstElement* source = nullptr;
        const auto write = [&](uint64_t number) {
            if (source == nullptr) {
                gst_init(nullptr, nullptr);
                const std::string description =
                    "appsrc name=src is-live=true format=time caps=" + caps +
                    " ! shmsink socket-path=" + socket +
                    " shm-size=" + std::to_string(kGstShmSize) +
                    " wait-for-connection=false sync=false";
                writerPipeline = gst_parse_launch(description.c_str(), nullptr);
                source = gst_bin_get_by_name(GST_BIN(writerPipeline), "src");
                gst_element_set_state(writerPipeline, GST_STATE_PLAYING);
            }
            GstBuffer* buffer = gst_buffer_new_allocate(nullptr, kFrameBytes, nullptr);
            GstMapInfo map;
            gst_buffer_map(buffer, &map, GST_MAP_WRITE);
            stamp(map.data, number);
            gst_buffer_unmap(buffer, &map);
            return gst_app_src_push_buffer(GST_APP_SRC(source), buffer) == GST_FLOW_OK;
        };
        GstElement* reader = nullptr;
        GstElement* sink = nullptr;
        const auto read = [&] {
            if (reader == nullptr) {
                if (access(socket.c_str(), F_OK) != 0) {
                    return;  // the writer has not made its socket yet
                }
                gst_init(nullptr, nullptr);
                const std::string description =
                    "shmsrc socket-path=" + socket + " is-live=true ! " + caps +
                    " ! appsink name=sink sync=false max-buffers=1 drop=true";
                reader = gst_parse_launch(description.c_str(), nullptr);
                sink = gst_bin_get_by_name(GST_BIN(reader), "sink");
                gst_element_set_state(reader, GST_STATE_PLAYING);
            }
            GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), GST_MSECOND * 10);
            if (sample == nullptr) {
                return;
            }
            GstMapInfo map;
            GstBuffer* buffer = gst_sample_get_buffer(sample);
            if (gst_buffer_map(buffer, &map, GST_MAP_READ) && map.size >= kFrameBytes) {
                tally.take(map.data);
                gst_buffer_unmap(buffer, &map);
            }
            gst_sample_unref(sample);
        };
        const auto finish = [&] {  // shmsink removes its socket and memory area when stopped
            if (writerPipeline != nullptr) {
                gst_element_set_state(writerPipeline, GST_STATE_NULL);
            }
        };
        const bool ran = runPaced(kPacedNs, write, finish, read, written);
        if (reader != nullptr) {
            gst_element_set_state(reader, GST_STATE_NULL);
            gst_object_unref(sink);
            gst_object_unref(reader);
        }
        unlink(socket.c_str());
        if (!ran) {
            state.SkipWithError("the writer process failed");
            return;
        }
        tally.report(state, written, runNs());
    }
}
BENCHMARK(BM_GstShmSinkToShmSrcReference)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
