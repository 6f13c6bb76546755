// The stream of one display card: its mount on the process's RTSP server (one shared media for all
// clients, torn down when the last one leaves) and the thread that composes the card picture from
// its sources while somebody watches. Owned by the card's VideoEcho; thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <host/videoecho.h>

namespace tarn::mediadispatch {

struct CardConfig {
    int width = 1280;
    int height = 720;
    float fps = 30;
    int bitRate = 2097152;  // bits per second
    bool tcpOnly = false;
    std::string encoder = "x264enc";
};

// What the card shows, asked before each look at the sources.
struct CardSources {
    std::vector<SpliceRegion> regions;
    VideoEchoSourceCallBack source;
};

class CardStream {
public:
    CardStream(std::string path, CardConfig config, std::function<CardSources()> sources);
    ~CardStream();  // stops composing and unmounts
    CardStream(const CardStream&) = delete;
    CardStream& operator=(const CardStream&) = delete;

    // Mounts the stream on the running server of `handle`; false when that server is not running.
    bool mount(int handle);
    // Takes a new configuration; a live stream changes size at its next frame (the encoder restarts
    // with a key frame), bit rate at once, transport for the next media.
    void configure(const CardConfig& config);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace tarn::mediadispatch
