// The helper roles that the cross-process tests run in a child process:
//   writer NAME  - a SharedMemoryIPCServer driven by commands:
//                  play | stop | frame SEED | stream SEED (writes until killed) | exit |
//                  paced HZ MS (stamped frames for MS milliseconds or until SIGUSR1, HZ 0:
//                  flat out; answers "sent N")
//   reader NAME  - a SharedMemoryPlayer: read -> "null" or "frame DIGEST"
#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <host/spdlogapplication.h>
#include <shm/shmhandle.h>
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include "channeltestsupport.h"
#include "helperprocess.h"

namespace channeltest {

namespace {

void answer(const std::string& line) {
    std::cout << line << std::endl;
}

// Writes 640 x 640 rgba frames whose every 64-bit word is the frame's number (from 1), at `hz`
// frames a second on an absolute schedule (0: as fast as it can), for `milliseconds`.
volatile std::sig_atomic_t stopPacing = 0;

uint64_t writePaced(tarn::mediadispatch::SharedMemoryIPCServer& writer, int hz, int milliseconds) {
    std::signal(SIGUSR1, [](int) { stopPacing = 1; });
    StampedFrame frame;
    writer.play(0, 0);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(milliseconds);
    uint64_t sent = 0;
    for (auto now = start; now < end && stopPacing == 0; now = std::chrono::steady_clock::now()) {
        if (hz > 0) {
            const auto due = start + std::chrono::nanoseconds(sent * 1000000000ull / hz);
            if (due > now) {
                std::this_thread::sleep_until(due);
            }
        }
        frame.stamp(++sent);
        writer.updateFrame(frame.get(), 0);
    }
    return sent;
}

int runWriter(const std::string& name) {
    tarn::mediadispatch::SharedMemoryIPCServer writer(name);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream command(line);
        std::string verb;
        int seed = 0;
        command >> verb >> seed;
        if (verb == "play") {
            writer.play(0, 0);
        } else if (verb == "stop") {
            writer.stop();
        } else if (verb == "frame") {
            TestFrame frame(640, 640, {2560}, static_cast<uint8_t>(seed));
            writer.updateFrame(frame.get(), 0);
        } else if (verb == "stream") {
            TestFrame frame(640, 640, {2560}, static_cast<uint8_t>(seed));
            writer.play(0, 0);
            writer.updateFrame(frame.get(), 0);
            answer("ok");
            for (;;) {
                writer.updateFrame(frame.get(), 0);
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        } else if (verb == "paced") {
            int milliseconds = 0;
            command >> milliseconds;
            answer("sent " + std::to_string(writePaced(writer, seed, milliseconds)));
            continue;
        } else if (verb == "exit") {
            answer("ok");
            return 0;
        }
        answer("ok");
    }
    return 0;
}

int runReader(const std::string& name) {
    vantor::mediadispatch::SharedMemoryPlayer player(nullptr, name);
    player.play(0, 0);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "read") {
            qv::mediacore::IFrame* frame = player.getFrame(0);
            if (frame == nullptr) {
                answer("null");
                continue;
            }
            const auto record = frame->kframe();
            answer("frame " +
                   std::to_string(frameDigest(frame->getWidth(), frame->getHeight(),
                                              frame->format(), record->linesize, record->data)));
        } else if (line == "exit") {
            answer("ok");
            return 0;
        }
    }
    return 0;
}

}  // namespace

int runHelper(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    // The parent checks results through the protocol; the children's log lines are noise.
    RW::SpdlogApplication::instance().logger()->set_level(spdlog::level::off);
    const std::string role = argv[0];
    const std::string name = argv[1];
    if (role == "writer") {
        return runWriter(name);
    }
    if (role == "reader") {
        return runReader(name);
    }
    return 2;
}

uint64_t frameDigest(int width, int height, int format, const int* linesizes,
                     const unsigned char* const* planes) {
    uint64_t hash = 1469598103934665603ull;
    auto mix = [&hash](uint64_t value) {
        hash ^= value;
        hash *= 1099511628211ull;
    };
    mix(static_cast<uint32_t>(width));
    mix(static_cast<uint32_t>(height));
    mix(static_cast<uint32_t>(format));
    for (int i = 0; i < 8; ++i) {
        mix(static_cast<uint32_t>(linesizes[i]));
        if (linesizes[i] > 0 && height > 0 && planes[i] != nullptr) {
            const size_t size = static_cast<size_t>(linesizes[i]) * static_cast<size_t>(height);
            for (size_t b = 0; b < size; ++b) {
                mix(planes[i][b]);
            }
        }
    }
    return hash;
}

}  // namespace channeltest
