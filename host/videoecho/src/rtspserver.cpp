#include "rtspserver.h"

#include <map>
#include <thread>

#include <host/log.h>

#include "echoaddress.h"

namespace tarn::mediadispatch {

namespace {

constexpr const char* kRole = "viewer";

gboolean quitLoop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

GstRTSPFilterResult closeClient(GstRTSPServer*, GstRTSPClient*, gpointer) {
    return GST_RTSP_FILTER_REMOVE;
}

}  // namespace

// A listening server with its main loop; lives from the first start to the last stop.
struct RtspServer::Running {
    int handle = 0;
    int port = 0;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    GstRTSPServer* server = nullptr;
    guint sourceId = 0;
    std::thread thread;

    std::mutex playMutex;
    std::map<std::string, std::function<void()>> onPlay;  // guarded by playMutex

    ~Running() {
        if (thread.joinable()) {
            // Closing the clients and the socket belongs to the loop's thread.
            GSource* idle = g_idle_source_new();
            g_source_set_callback(
                idle,
                [](gpointer data) -> gboolean {
                    auto* self = static_cast<Running*>(data);
                    gst_rtsp_server_client_filter(self->server, closeClient, nullptr);
                    if (GSource* listen =
                            g_main_context_find_source_by_id(self->context, self->sourceId)) {
                        g_source_destroy(listen);
                    }
                    return quitLoop(self->loop);
                },
                this, nullptr);
            g_source_attach(idle, context);
            g_source_unref(idle);
            thread.join();
        }
        if (server != nullptr) {
            g_object_unref(server);
        }
        if (loop != nullptr) {
            g_main_loop_unref(loop);
        }
        if (context != nullptr) {
            g_main_context_unref(context);
        }
    }

    static void onClientConnected(GstRTSPServer*, GstRTSPClient* client, gpointer data) {
        g_signal_connect(client, "play-request", G_CALLBACK(onPlayRequest), data);
    }

    static void onPlayRequest(GstRTSPClient*, GstRTSPContext* ctx, gpointer data) {
        auto* self = static_cast<Running*>(data);
        if (ctx == nullptr || ctx->uri == nullptr || ctx->uri->abspath == nullptr) {
            return;
        }
        const std::string path = ctx->uri->abspath;
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> lock(self->playMutex);
            for (const auto& [mount, callback] : self->onPlay) {
                if (path.compare(0, mount.size(), mount) == 0 &&
                    (path.size() == mount.size() || path[mount.size()] == '/')) {
                    action = callback;
                    break;
                }
            }
        }
        if (action) {
            action();
        }
    }
};

RtspServer& RtspServer::instance() {
    static RtspServer server;
    return server;
}

RtspServer::RtspServer() = default;
RtspServer::~RtspServer() = default;

void RtspServer::setOptions(const VideoEchoServerOptions& options) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_ = options;
    advertisedHost_.clear();
}

VideoEchoServerOptions RtspServer::options() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return options_;
}

int RtspServer::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) {
        ++starts_;
        return running_->handle;
    }
    GError* error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error)) {
        TARN_LOG_ERROR("VideoEcho: GStreamer cannot start: {}",
                       error != nullptr ? error->message : "unknown error");
        g_clear_error(&error);
        return -1;
    }
    if (options_.port < 0 || options_.port > 65535) {
        TARN_LOG_ERROR("VideoEcho: the RTSP port {} is not a port", options_.port);
        return -1;
    }
    auto running = std::make_shared<Running>();
    running->context = g_main_context_new();
    running->loop = g_main_loop_new(running->context, FALSE);
    running->server = gst_rtsp_server_new();
    gst_rtsp_server_set_address(running->server, options_.bindAddress.c_str());
    gst_rtsp_server_set_service(running->server, std::to_string(options_.port).c_str());
    running->sourceId = gst_rtsp_server_attach(running->server, running->context);
    if (running->sourceId == 0) {
        TARN_LOG_ERROR("VideoEcho: the RTSP server cannot listen on {}:{} (port in use?)",
                       options_.bindAddress, options_.port);
        return -1;
    }
    running->port = gst_rtsp_server_get_bound_port(running->server);
    g_signal_connect(running->server, "client-connected", G_CALLBACK(Running::onClientConnected),
                     running.get());
    running->handle = ++generation_;
    running->thread = std::thread([loop = running->loop, context = running->context] {
        g_main_context_push_thread_default(context);
        g_main_loop_run(loop);
        g_main_context_pop_thread_default(context);
    });
    if (advertisedHost_.empty()) {
        advertisedHost_ = options_.advertisedHost;
        if (advertisedHost_.empty()) {
            advertisedHost_ = echoaddress::defaultRouteIPv4();
        }
        if (advertisedHost_.empty()) {
            advertisedHost_ = "127.0.0.1";
            TARN_LOG_WARN(
                "VideoEcho: no default route; echo URLs name 127.0.0.1, which other machines "
                "cannot reach");
        }
    }
    TARN_LOG_INFO("VideoEcho: RTSP server listening on {}:{}, URLs name {}", options_.bindAddress,
                  running->port, advertisedHost_);
    running_ = running;
    starts_ = 1;
    return running->handle;
}

bool RtspServer::stop() {
    std::shared_ptr<Running> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) {
            return false;
        }
        if (--starts_ > 0) {
            return true;
        }
        finished.swap(running_);
    }
    finished.reset();  // joins the loop outside the lock: mount/unmount may be waiting on it
    return true;
}

std::string RtspServer::urlBase() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string host = advertisedHost_.empty() ? options_.advertisedHost : advertisedHost_;
    if (host.empty()) {
        host = echoaddress::defaultRouteIPv4();
    }
    if (host.empty()) {
        host = "127.0.0.1";
    }
    if (host.find(':') != std::string::npos && host.front() != '[') {
        host = "[" + host + "]";
    }
    const int port = running_ ? running_->port : options_.port;
    return "rtsp://" + host + ":" + std::to_string(port);
}

bool RtspServer::mount(int handle, const std::string& path, GstRTSPMediaFactory* factory,
                       std::function<void()> onPlay) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || running_->handle != handle) {
        return false;
    }
    protect(factory);
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(running_->server);
    gst_rtsp_mount_points_add_factory(mounts, path.c_str(),
                                      GST_RTSP_MEDIA_FACTORY(g_object_ref(factory)));
    g_object_unref(mounts);
    std::lock_guard<std::mutex> playLock(running_->playMutex);
    running_->onPlay[path] = std::move(onPlay);
    return true;
}

void RtspServer::unmount(int handle, const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || running_->handle != handle) {
        return;
    }
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(running_->server);
    gst_rtsp_mount_points_remove_factory(mounts, path.c_str());
    g_object_unref(mounts);
    std::lock_guard<std::mutex> playLock(running_->playMutex);
    running_->onPlay.erase(path);
}

void RtspServer::protect(GstRTSPMediaFactory* factory) const {
    if (options_.user.empty() || options_.password.empty() || !running_) {
        return;
    }
    GstRTSPAuth* auth = gst_rtsp_server_get_auth(running_->server);
    if (auth == nullptr) {
        auth = gst_rtsp_auth_new();
        GstRTSPToken* token =
            gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kRole, nullptr);
        gchar* basic = gst_rtsp_auth_make_basic(options_.user.c_str(), options_.password.c_str());
        gst_rtsp_auth_add_basic(auth, basic, token);
        g_free(basic);
        gst_rtsp_token_unref(token);
        gst_rtsp_server_set_auth(running_->server, auth);
    }
    g_object_unref(auth);
    gst_rtsp_media_factory_add_role(factory, kRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS,
                                    G_TYPE_BOOLEAN, TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT,
                                    G_TYPE_BOOLEAN, TRUE, nullptr);
}

}  // namespace tarn::mediadispatch
