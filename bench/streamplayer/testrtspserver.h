// An RTSP server for the stream player's benchmark: gst-rtsp-server serving one moving test
// picture, H.264 at low-latency settings, at rtsp://127.0.0.1:PORT/test. Runs its own main loop on
// a thread of its own; the destructor drops the clients, closes the port and joins that thread.
#pragma once

#include <mutex>
#include <string>
#include <thread>

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GstRTSPServer GstRTSPServer;
typedef struct _GstRTSPMediaFactory GstRTSPMediaFactory;
typedef struct _GstRTSPMedia GstRTSPMedia;
typedef struct _GstElement GstElement;
typedef void* gpointer;

namespace streamplayertest {

class TestRtspServer {
public:
    // port 0: any free port.
    TestRtspServer(int width, int height, int port = 0);
    ~TestRtspServer();
    TestRtspServer(const TestRtspServer&) = delete;
    TestRtspServer& operator=(const TestRtspServer&) = delete;

    int port() const { return port_; }
    std::string url() const;

    // Changes the size of the picture being served without closing any connection (the encoder
    // starts over with a key frame at the new size). False before a client asked for the stream.
    bool resize(int width, int height);

private:
    static void onMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer self);

    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GstRTSPServer* server_ = nullptr;
    unsigned sourceId_ = 0;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    GstElement* media_ = nullptr;  // guarded by mutex_; the served pipeline, once configured
};

}  // namespace streamplayertest
