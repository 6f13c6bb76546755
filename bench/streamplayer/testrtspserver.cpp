#include "testrtspserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

namespace streamplayertest {

namespace {

GstRTSPFilterResult dropClient(GstRTSPServer*, GstRTSPClient*, gpointer) {
    return GST_RTSP_FILTER_REMOVE;
}

std::string sizeCaps(int width, int height) {
    return "video/x-raw,width=" + std::to_string(width) + ",height=" + std::to_string(height) +
           ",framerate=30/1";
}

}  // namespace

TestRtspServer::TestRtspServer(int width, int height, int port) {
    gst_init(nullptr, nullptr);
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    server_ = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server_, "127.0.0.1");
    gst_rtsp_server_set_service(server_, std::to_string(port).c_str());

    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    const std::string launch =
        "( videotestsrc is-live=true pattern=ball ! capsfilter name=size caps=" +
        sizeCaps(width, height) +
        " ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=30 ! "
        "rtph264pay name=pay0 pt=96 config-interval=-1 )";
    gst_rtsp_media_factory_set_launch(factory, launch.c_str());
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    g_signal_connect(factory, "media-configure", G_CALLBACK(&TestRtspServer::onMediaConfigure),
                     this);
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
    gst_rtsp_mount_points_add_factory(mounts, "/test", factory);
    g_object_unref(mounts);

    sourceId_ = gst_rtsp_server_attach(server_, context_);
    if (sourceId_ == 0) {
        g_object_unref(server_);
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
        throw std::runtime_error("the test RTSP server cannot listen");
    }
    port_ = gst_rtsp_server_get_bound_port(server_);
    thread_ = std::thread([this] { g_main_loop_run(loop_); });
}

TestRtspServer::~TestRtspServer() {
    // Removing the listening source and the clients from the loop's own thread keeps the server's
    // objects touched by one thread at a time.
    struct Closing {
        TestRtspServer* self;
    };
    auto close = +[](gpointer data) -> gboolean {
        auto* self = static_cast<Closing*>(data)->self;
        gst_rtsp_server_client_filter(self->server_, &dropClient, nullptr);
        if (GSource* source = g_main_context_find_source_by_id(self->context_, self->sourceId_)) {
            g_source_destroy(source);
        }
        g_main_loop_quit(self->loop_);
        return G_SOURCE_REMOVE;
    };
    Closing closing{this};
    g_main_context_invoke(context_, close, &closing);
    thread_.join();
    // Finish what the drop left queued (the media's teardown) before the context goes.
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_object_unref(server_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    if (media_ != nullptr) {
        gst_object_unref(media_);
    }
}

void TestRtspServer::onMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer self) {
    auto* server = static_cast<TestRtspServer*>(self);
    std::lock_guard<std::mutex> guard(server->mutex_);
    if (server->media_ != nullptr) {
        gst_object_unref(server->media_);
    }
    server->media_ = gst_rtsp_media_get_element(media);
}

bool TestRtspServer::resize(int width, int height) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (media_ == nullptr) {
        return false;
    }
    GstElement* filter = gst_bin_get_by_name(GST_BIN(media_), "size");
    if (filter == nullptr) {
        return false;
    }
    GstCaps* caps = gst_caps_from_string(sizeCaps(width, height).c_str());
    g_object_set(filter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    gst_object_unref(filter);
    return true;
}

std::string TestRtspServer::url() const {
    return "rtsp://127.0.0.1:" + std::to_string(port_) + "/test";
}

}  // namespace streamplayertest
