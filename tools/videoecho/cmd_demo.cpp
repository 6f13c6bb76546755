// videoecho demo: starts a source process and a viewer process (this executable again, with an
// internal subcommand), shows their progress, and ends with a summary and the echoed picture.
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include <fmt/format.h>

#include "childprocess.h"
#include "commands.h"
#include "demo_machines.h"
#include "demoprotocol.h"
#include "interrupt.h"
#include "monoclock.h"
#include "selfpath.h"
#include "sendoptions.h"
#include "statusline.h"

namespace videoecho {

namespace {

// Reads records from the children until `done` says so or the deadline passes.
class DemoRun {
public:
    explicit DemoRun(int64_t deadlineNs) : deadline_(deadlineNs) {}

    // Waits up to `ms` for output of any child and hands each record to `onRecord`.
    template <typename F>
    bool pump(std::vector<ChildProcess*> children, int ms, F&& onRecord) {
        std::vector<pollfd> fds;
        std::vector<ChildProcess*> owners;
        for (auto* c : children) {
            if (c->stdoutFd() >= 0) {
                fds.push_back({c->stdoutFd(), POLLIN, 0});
                owners.push_back(c);
            }
        }
        if (fds.empty()) {
            usleep(static_cast<useconds_t>(ms) * 1000);
            return monotonicNs() < deadline_;
        }
        if (poll(fds.data(), fds.size(), ms) > 0) {
            for (size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents == 0) {
                    continue;
                }
                std::vector<std::string> lines;
                owners[i]->readLines(lines);
                for (const auto& line : lines) {
                    DemoRecord record;
                    if (parseDemoRecord(line, record)) {
                        onRecord(owners[i], record);
                    }
                }
            }
        }
        return monotonicNs() < deadline_;
    }

private:
    int64_t deadline_;
};

std::string mbPerSecond(double bytes, double seconds) {
    return seconds > 0 ? fmt::format("{:.1f} MB/s", bytes / seconds / 1e6) : "-";
}

// Where the main machine's picture goes by default: beside the viewer's, "echo.png" ->
// "echo-machines.png".
std::string machinesPngBeside(const std::string& png) {
    const std::string suffix = ".png";
    const bool hasSuffix = png.size() > suffix.size() &&
                           png.compare(png.size() - suffix.size(), suffix.size(), suffix) == 0;
    return (hasSuffix ? png.substr(0, png.size() - suffix.size()) : png) + "-machines.png";
}

int runDemo(const ParsedArgs& args, const char* argv0) {
    ParsedArgs sendArgs = args;
    if (!sendArgs.has("seconds")) {
        sendArgs.values()["seconds"] = "5";
    }
    const SendOptions options = parseSendOptions(sendArgs);
    const double seconds = parseNumber(sendArgs.value("seconds"), "--seconds", 0.1, 3600);
    const std::string png = args.value("png", "echo.png");
    const bool verbose = args.has("verbose");
    const std::string self = selfPath(argv0);
    // A media id of this run only, so that two demos on one machine use different channels.
    const uint64_t mediaId = 7000000 + static_cast<uint64_t>(getpid());
    const std::string key = demoEchoKey(mediaId, 1);

    InterruptWatch interrupt;
    StatusLine status;
    status.message(fmt::format(
        "videoecho demo: a source process echoes {}x{} {} at {} fps for {} s into channel {};",
        options.width, options.height, nameOf(options.format), options.fps, seconds, key));
    status.message(
        "a viewer process plays the echo back through an EchoMedia and checks every frame.");

    std::vector<std::string> viewerArgv = {self,
                                           "__demo-viewer",
                                           "--media-id",
                                           std::to_string(mediaId),
                                           "--png",
                                           png,
                                           "--max-seconds",
                                           fmt::format("{}", seconds + 30)};
    std::vector<std::string> sourceArgv = {
        self,         "__demo-source",
        "--media-id", std::to_string(mediaId),
        "--seconds",  fmt::format("{}", seconds),
        "--size",     fmt::format("{}x{}", options.width, options.height),
        "--format",   nameOf(options.format),
        "--fps",      fmt::format("{}", options.fps)};
    if (verbose) {
        viewerArgv.push_back("--verbose");
        sourceArgv.push_back("--verbose");
    }

    DemoRun run(monotonicNs() + static_cast<int64_t>((seconds + 40) * 1e9));
    ChildProcess viewer(viewerArgv);
    std::optional<DemoRecord> viewerReady, viewerResult, sourceResult;
    double sentSoFar = 0;
    double seenSoFar = 0;
    double uniqueSoFar = 0;
    double tornSoFar = 0;
    ChildProcess* sourcePtr = nullptr;
    auto onRecord = [&](ChildProcess* from, const DemoRecord& r) {
        if (from == &viewer) {
            if (r.kind == "ready") {
                viewerReady = r;
            } else if (r.kind == "progress") {
                seenSoFar = r.number("seen");
                uniqueSoFar = r.number("unique");
                tornSoFar = r.number("torn");
            } else if (r.kind == "result") {
                viewerResult = r;
            }
        } else if (from == sourcePtr) {
            if (r.kind == "progress") {
                sentSoFar = r.number("sent");
            } else if (r.kind == "result") {
                sourceResult = r;
            }
        }
        if (r.kind == "progress") {
            status.update(
                fmt::format("sent {:>5}   viewer reads {:>5}, unique frames {:>5}, torn {}",
                            sentSoFar, seenSoFar, uniqueSoFar, tornSoFar));
        }
    };
    while (!viewerReady && viewer.stdoutFd() >= 0 && !interrupt.interrupted()) {
        if (!run.pump({&viewer}, 100, onRecord)) {
            break;
        }
    }
    if (!viewerReady) {
        throw RunError("the viewer process did not start");
    }
    ChildProcess source(sourceArgv);
    sourcePtr = &source;
    int64_t sourceDoneAt = 0;
    bool timedOut = false;
    while (viewer.stdoutFd() >= 0 || source.stdoutFd() >= 0) {
        if (!run.pump({&viewer, &source}, 50, onRecord)) {
            timedOut = true;
            break;
        }
        if (interrupt.interrupted()) {
            source.kill();
        }
        if (source.stdoutFd() < 0 && sourceDoneAt == 0) {
            sourceDoneAt = monotonicNs();
        }
        // Let the viewer read the last frames, then tell it to finish.
        if (sourceDoneAt != 0 && monotonicNs() - sourceDoneAt > 300000000) {
            viewer.closeStdin();
        }
    }
    status.finish();
    const int sourceExit = source.wait(timedOut ? 0 : 5000);
    const int viewerExit = viewer.wait(timedOut ? 0 : 5000);
    if (timedOut) {
        throw RunError("the demo's processes did not finish in time");
    }
    if (!sourceResult || sourceExit != 0) {
        throw RunError(fmt::format("the source process failed (exit code {})", sourceExit));
    }
    if (!viewerResult || viewerExit != 0) {
        throw RunError(fmt::format("the viewer process failed (exit code {})", viewerExit));
    }

    const auto& s = *sourceResult;
    const auto& v = *viewerResult;
    const double sent = s.number("sent");
    const double frameBytes = s.number("bytes");
    const double sendSeconds = s.number("seconds");
    const double unique = v.number("unique");
    const double torn = v.number("torn");
    const double seen = v.number("seen");
    const double backwards = v.number("backwards");
    const double foreign = v.number("foreign");
    const bool pictureIntact = v.text("png") == "intact";
    std::printf("\n%-22s %s\n", "channel", key.c_str());
    std::printf("%-22s %.0f (%.0f bytes each)\n", "frames sent", sent, frameBytes);
    std::printf("%-22s %.0f reads returned a frame\n", "frames received", seen);
    std::printf("%-22s %.0f (%.1f%% of sent)\n", "unique", unique,
                sent > 0 ? 100 * unique / sent : 0);
    std::printf("%-22s %.0f\n", "repeated reads", v.number("repeated"));
    std::printf("%-22s %.0f\n", "torn", torn);
    std::printf("%-22s %.0f\n", "went backwards", backwards);
    if (foreign != 0) {
        // A read between the header and the planes of the very first frame finds no stamp yet.
        std::printf("%-22s %.0f (read before the first frame was complete)\n", "without stamp",
                    foreign);
    }
    std::printf("%-22s %.3f ms (send to first read; the viewer reads every 16.7 ms)\n",
                "latency p50", v.number("p50"));
    std::printf("%-22s %.3f ms (max %.3f ms)\n", "latency p99", v.number("p99"), v.number("max"));
    std::printf("%-22s %s of unique frames delivered\n", "throughput",
                mbPerSecond(unique * frameBytes, sendSeconds).c_str());
    std::printf("%-22s %s (frame %s, %s)\n", "picture", png.c_str(), v.text("pngframe").c_str(),
                v.text("png").c_str());

    // The channel is a one-frame mailbox: a frame the viewer does not read before the next one
    // replaces it is missed, so how many arrive depends on how promptly the viewer is scheduled.
    // What does not depend on it: no read returned a torn frame, every frame accepted is the exact
    // frame its stamp names, none goes backwards, and the picture is an intact frame. Frames
    // arrived intact when that holds and at least half of the frames sent were seen (the share is
    // printed above).
    const bool ok = unique >= 0.5 * sent && sent > 0 && torn == 0 && backwards == 0 &&
                    foreign <= 1 && pictureIntact && s.text("interrupted") != "1";
    if (s.text("interrupted") == "1") {
        std::printf("\nthe source was interrupted before it sent every frame\n");
    }
    std::printf("\n%s\n", ok ? "result: OK, frames arrived intact"
                             : "result: FAILED, frames did not arrive intact");
    bool machinesAgree = true;
    if (args.has("machines")) {
        machinesAgree = runMachinesDemo(
            self, verbose, args.value("broker"),
            parseNumber(args.value("machine-seconds", "3"), "--machine-seconds", 0.5, 3600),
            args.value("machine-png", machinesPngBeside(png)));
    }
    return ok && machinesAgree ? 0 : 1;
}

}  // namespace

Command demoCommand() {
    CommandInfo info;
    info.name = "demo";
    info.summary = "run a source and a viewer process and echo a test pattern between them";
    info.options = {
        {"seconds", "N", "how long the source sends (default 5)"},
        {"size", "WxH", "frame size (default 640x360)"},
        {"format", "FMT", "rgba, bgra, yuv420p or nv12 (default rgba)"},
        {"fps", "N", "frames per second (default 30)"},
        {"png", "FILE", "where to write the last frame received (default echo.png)"},
        {"machines", "",
         "also run a main machine and two nodes (each in a network namespace of its own "
         "when possible) and show that they agree on echo addresses and splice "
         "strategies"},
        {"machine-seconds", "N",
         "with --machines: how long each node sends its pattern (default 3)"},
        {"machine-png", "FILE",
         "with --machines: where the main machine writes a picture it received "
         "(default: beside --png, echo-machines.png)"},
        {"broker", "HOST:PORT",
         "with --machines: use this MQTT broker on loopback for the link instead of "
         "starting one"},
        verboseOption()};
    info.details =
        "Exit code 0 only if frames arrived intact: every frame the viewer accepted is the exact\n"
        "frame its stamp names, none went backwards, the picture is an intact frame, and at least\n"
        "half of the frames sent were seen (on an idle machine nearly all are; a busy one delays\n"
        "the viewer past frames).";
    return {info, runDemo, false};
}

}  // namespace videoecho
