// The echo server without a stream: keeps its configuration as given and a URL made from the
// card, serves nothing. Unit tests of the library link it instead of the RTSP build.
#include <host/videoecho.h>
#include <videoechostandin/liveservers.h>

#include <algorithm>

namespace tarn::mediadispatch {

namespace {

// The process-wide stream machinery of the echo servers: a handle that is non-zero while it runs.
std::atomic<int>& serverMachineryHandle() {
    static std::atomic<int> handle{0};
    return handle;
}

std::atomic<int>& serverMachineryStarts() {
    static std::atomic<int> starts{0};
    return starts;
}

struct LiveServers {
    std::mutex mutex;
    std::vector<VideoEcho*> servers;  // guarded by mutex
};

LiveServers& liveServers() {
    static LiveServers live;
    return live;
}

}  // namespace

std::vector<VideoEcho*> standin::liveEchoServers() {
    auto& live = liveServers();
    std::lock_guard<std::mutex> lock(live.mutex);
    return live.servers;
}

VideoEcho::VideoEcho(const VideoEchoAddr& addr, const std::string& name, void* device,
                     int serverHandle, bool serverEnabled)
    : addr_(addr) {
    settings_.name = name;
    settings_.device = device;
    settings_.serverHandle = serverHandle;
    settings_.serverEnabled = serverEnabled;
    auto& live = liveServers();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.servers.push_back(this);
}

VideoEcho::~VideoEcho() {
    auto& live = liveServers();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.servers.erase(std::remove(live.servers.begin(), live.servers.end(), this),
                       live.servers.end());
}

void VideoEcho::setVideoEchoSourceCallBack(const VideoEchoSourceCallBack& callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    videoEchoSource_ = callback;
    settings_.hasVideoEchoSourceCallBack = static_cast<bool>(callback);
    ++settings_.sourceCallBackUpdates;
}

std::string VideoEcho::getUrl() {
    std::lock_guard<std::mutex> lock(mutex_);
    return addr_.url.empty() ? "rtsp://" + addr_.cardId.nodeId + "/echo/" + addr_.cardId.deviceId
                             : addr_.url;
}

void VideoEcho::setVideoEchoResolution(float width, float height) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.width = width;
    settings_.height = height;
}

void VideoEcho::setVideoEchoTransmissionMode(bool mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.transmissionMode = mode;
}

void VideoEcho::setVideoEchoFPS(float fps) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.fps = fps;
}

void VideoEcho::setVideoEchoBitRate(float bitRate) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.bitRate = bitRate;
}

std::string VideoEcho::generateRtspAddr(const std::string& nodeId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return "rtsp://" + nodeId + "/echo/" + addr_.cardId.deviceId;
}

bool VideoEcho::createRecordVideo() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!settings_.serverEnabled) {
        return false;
    }
    if (addr_.url.empty()) {
        addr_.url = "rtsp://" + addr_.cardId.nodeId + "/echo/" + addr_.cardId.deviceId;
    }
    settings_.recording = true;
    return true;
}

int VideoEcho::startVideoEchoServer() {
    const int handle = ++serverMachineryStarts();
    serverMachineryHandle() = handle;
    return handle;
}

bool VideoEcho::stopVideoEchoServer() {
    return serverMachineryHandle().exchange(0) != 0;
}

void VideoEcho::setServerOptions(const VideoEchoServerOptions&) {}

}  // namespace tarn::mediadispatch
