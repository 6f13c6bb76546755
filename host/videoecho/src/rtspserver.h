// The one RTSP server of a process that all card streams are mounted on: started and stopped with a
// reference count (two managers in a process share it), runs its own GLib main-loop thread.
// A host-module singleton; every operation is thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <gst/rtsp-server/rtsp-server.h>

#include <host/videoecho.h>

namespace tarn::mediadispatch {

class RtspServer {
public:
    static RtspServer& instance();

    void setOptions(const VideoEchoServerOptions& options);
    VideoEchoServerOptions options() const;

    // The running server's handle (> 0); the first start listens, later ones count. -1 when the
    // server cannot start (logged).
    int start();
    // Drops one start; the last one closes the clients and the socket. False when it was not
    // running.
    bool stop();

    // "rtsp://HOST:PORT" with the advertised host and the bound port (the configured one when the
    // server is not running).
    std::string urlBase() const;

    // Mounts `factory` at `path` when `handle` is the running server's; `onPlay` runs (on the
    // server's thread) whenever a client asks to play something under the path.
    bool mount(int handle, const std::string& path, GstRTSPMediaFactory* factory,
               std::function<void()> onPlay);
    void unmount(int handle, const std::string& path);

private:
    // Applies the configured user and password to a factory (no-op without them); mutex_ held.
    void protect(GstRTSPMediaFactory* factory) const;
    RtspServer();
    ~RtspServer();
    struct Running;

    mutable std::mutex mutex_;
    VideoEchoServerOptions options_;    // guarded by mutex_
    std::string advertisedHost_;        // guarded by mutex_
    std::shared_ptr<Running> running_;  // guarded by mutex_
    int starts_ = 0;                    // guarded by mutex_
    int generation_ = 0;                // guarded by mutex_
};

}  // namespace tarn::mediadispatch
