// videoecho serve KEY...: composes the named channels into one card picture (a grid in argument
// order), serves it over RTSP and prints its URL.
#include <unistd.h>

#include <cmath>
#include <map>
#include <memory>
#include <mutex>

#include <fmt/format.h>
#include <host/videoecho.h>

#include "commands.h"
#include "echosources.h"
#include "interrupt.h"

namespace videoecho {

namespace {

using tarn::mediadispatch::VideoEcho;

std::vector<tarn::mediadispatch::SpliceRegion> gridRegions(size_t count) {
    const auto columns = static_cast<size_t>(std::ceil(std::sqrt(static_cast<double>(count))));
    const size_t rows = (count + columns - 1) / columns;
    std::vector<tarn::mediadispatch::SpliceRegion> regions;
    for (size_t i = 0; i < count; ++i) {
        const float width = 1.0f / static_cast<float>(columns);
        const float height = 1.0f / static_cast<float>(rows);
        regions.push_back({0,
                           i + 1,
                           {static_cast<float>(i % columns) * width,
                            static_cast<float>(i / columns) * height, width, height}});
    }
    return regions;
}

std::string hostName() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "localhost";
}

int runServe(const ParsedArgs& args, const char*) {
    std::vector<std::string> keys;
    for (size_t i = 0; i < args.positionalCount(); ++i) {
        checkChannelName(args.positional(i));
        keys.push_back(args.positional(i));
    }
    int width = 1280;
    int height = 720;
    if (args.has("size")) {
        parseSize(args.value("size"), "--size", 16, 7680, width, height);
    }
    const double fps = args.has("fps") ? parseNumber(args.value("fps"), "--fps", 1, 240) : 30;
    const auto kbps =
        args.has("bitrate") ? parseInteger(args.value("bitrate"), "--bitrate", 16, 1000000) : 2048;
    const auto port =
        args.has("port") ? parseInteger(args.value("port"), "--port", 0, 65535) : 8554;
    const double seconds = args.has("seconds")
                               ? parseNumber(args.value("seconds"), "--seconds", 0.1, 86400.0 * 365)
                               : 0;

    InterruptWatch interrupt;
    tarn::mediadispatch::VideoEchoServerOptions options;
    options.port = static_cast<int>(port);
    VideoEcho::setServerOptions(options);
    const int handle = VideoEcho::startVideoEchoServer();
    if (handle <= 0) {
        throw RunError(fmt::format("cannot serve on port {} (in use?)", port));
    }
    // Media id i + 1 is the channel of the i-th key.
    std::map<uint64_t, std::string> channels;
    for (size_t i = 0; i < keys.size(); ++i) {
        channels[i + 1] = keys[i];
    }
    auto sources = std::make_shared<EchoChannelSources>(channels, !args.has("verbose"));
    {
        auto card = std::make_shared<VideoEcho>(
            tarn::mediadispatch::VideoEchoAddr{{hostName(), 0, "serve", ""}, ""}, "video1", nullptr,
            handle, true);
        card->setVideoEchoResolution(static_cast<float>(width), static_cast<float>(height));
        card->setVideoEchoFPS(static_cast<float>(fps));
        card->setVideoEchoBitRate(static_cast<float>(kbps * 1000));
        card->setVideoEchoSourceCallBack(EchoChannelSources::callbackOf(sources));
        card->synchronizeSpliceStrategy(tarn::mediadispatch::VideoEchoSpliceStrategy{
            card->getAddr(), gridRegions(keys.size())});
        std::printf("url: %s\n", card->getUrl().c_str());
        std::fflush(stdout);
        const long long stepNs = 100'000'000;
        for (long long waited = 0; seconds == 0 || waited < static_cast<long long>(seconds * 1e9);
             waited += stepNs) {
            if (interrupt.sleepFor(stepNs)) {
                break;
            }
        }
    }
    VideoEcho::stopVideoEchoServer();
    return 0;
}

}  // namespace

Command serveCommand() {
    CommandInfo info;
    info.name = "serve";
    info.summary = "serve channels KEY... as one RTSP stream (a grid in argument order)";
    info.positionals = {"KEY..."};
    info.options = {{"size", "WxH", "picture size (default 1280x720)"},
                    {"fps", "N", "frame rate (default 30)"},
                    {"bitrate", "KBPS", "H.264 bit rate in kbit/s (default 2048)"},
                    {"port", "P", "RTSP port, 0 = any free port (default 8554)"},
                    {"seconds", "N", "stop after N seconds (default: until Ctrl-C)"},
                    verboseOption()};
    info.details =
        "Prints `url: rtsp://HOST:PORT/echo/...` once serving; any RTSP client can play it, e.g.\n"
        "ffplay -rtsp_transport tcp URL. A region is black while its channel has no frame.";
    return {info, runServe, false};
}

}  // namespace videoecho
