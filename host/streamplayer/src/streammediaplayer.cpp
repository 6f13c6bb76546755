#include <host/streammediaplayer.h>

#include <mutex>
#include <thread>

#include <libavutil/pixfmt.h>

#include <host/iframe.h>
#include <host/log.h>

#include "latestframe.h"
#include "streampipeline.h"
#include "streamsession.h"
#include "teardownworker.h"

namespace qv::streammediaplayercore {

struct StreammediaPlayer::Impl {
    Impl(std::string u, void* d) : url(std::move(u)), device(d) {}

    // Asks the running session, if any, to end and hands its thread to the module's teardown
    // worker, so that the caller never waits for a connection to close.
    void endSession() {
        std::shared_ptr<StreamSession> ending;
        std::thread thread;
        {
            std::lock_guard<std::mutex> guard(sessionMutex);
            ending = std::move(session);
            thread = std::move(sessionThread);
        }
        if (ending) {
            ending->requestStop();
            TeardownWorker::instance().adopt(std::move(thread));
        }
    }

    const std::string url;
    void* const device;

    std::mutex sessionMutex;
    std::shared_ptr<StreamSession> session;  // guarded by sessionMutex
    std::thread sessionThread;               // guarded by sessionMutex
    bool refused = false;                    // guarded by sessionMutex

    // getFrame's own: the picture shown and the record that points into it.
    Picture shown;
    const StreamSession* shownFrom = nullptr;  // a picture of an ended play is not shown again
    mediacore::IFrame frame;
};

StreammediaPlayer::StreammediaPlayer(std::shared_ptr<mediacore::IMeta> meta, const std::string& url,
                                     void* device)
    : IMediaPlayer(std::move(meta), url), impl_(std::make_unique<Impl>(url, device)) {}

StreammediaPlayer::~StreammediaPlayer() {
    impl_->endSession();
    setPlayCompleted(false);
}

bool StreammediaPlayer::play(double start, double end) {
    {
        std::lock_guard<std::mutex> guard(impl_->sessionMutex);
        if (impl_->session) {
            return IMediaPlayer::play(start, end);
        }
        if (impl_->refused) {
            return false;
        }
        std::string error;
        if (!initGStreamer(error)) {
            impl_->refused = true;
            TARN_LOG_ERROR("stream player cannot start GStreamer: {}", error);
            return false;
        }
        if (!isRtspUrl(impl_->url)) {
            impl_->refused = true;
            TARN_LOG_ERROR("stream player refuses {}: not an RTSP URL", impl_->url);
            return false;
        }
        impl_->session = std::make_shared<StreamSession>(impl_->url, ReconnectPolicy{});
        impl_->sessionThread = impl_->session->start();
    }
    return IMediaPlayer::play(start, end);
}

bool StreammediaPlayer::stop(bool flag) {
    impl_->endSession();
    setPlayCompleted(false);
    return IMediaPlayer::stop(flag);
}

mediacore::IFrame* StreammediaPlayer::getFrame(double) {
    std::shared_ptr<StreamSession> session;
    {
        std::lock_guard<std::mutex> guard(impl_->sessionMutex);
        session = impl_->session;
    }
    if (!session) {
        return nullptr;
    }
    Picture& shown = impl_->shown;
    if (impl_->shownFrom != session.get()) {
        impl_->shownFrom = session.get();
        shown.number = 0;
    }
    if (session->frames().takeNewest(shown)) {
        mediacore::IFrame& frame = impl_->frame;
        frame.setWidth(shown.width);
        frame.setHeight(shown.height);
        frame.setFormat(AV_PIX_FMT_YUV420P);
        frame.setFps(shown.fps);
        const auto record = frame.kframe();
        for (int i = 0; i < mediacore::kMaxPlanes; ++i) {
            const bool used = i < kPicturePlanes;
            record->data[i] = used ? shown.planes[i].data() : nullptr;
            record->linesize[i] = used ? shown.lineSizes[i] : 0;
        }
    }
    return shown.number != 0 ? &impl_->frame : nullptr;
}

const std::string& StreammediaPlayer::url() const {
    return impl_->url;
}

void* StreammediaPlayer::device() const {
    return impl_->device;
}

}  // namespace qv::streammediaplayercore
