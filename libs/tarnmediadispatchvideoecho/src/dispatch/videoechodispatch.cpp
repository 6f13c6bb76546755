// VideoEchoDispatch: forwards frames, the editing mode and the media manager to the echo manager.
#include <tarnmediadispatchvideoecho/videoechodispatch.h>

#include <mutex>

#include <host/log.h>

namespace tarn::mediadispatch {

IVideoEchoDispatch::IVideoEchoDispatch() = default;

IVideoEchoDispatch::~IVideoEchoDispatch() = default;

struct VideoEchoDispatch::Impl {
    std::mutex mutex;
    std::weak_ptr<IVideoEchoMgr> echoMgr;   // guarded by mutex
    vantor::IQVRuntime* runtime = nullptr;  // guarded by mutex; not owned

    std::shared_ptr<IVideoEchoMgr> manager() {
        std::lock_guard<std::mutex> lock(mutex);
        return echoMgr.lock();
    }
};

VideoEchoDispatch::VideoEchoDispatch() : impl_(std::make_shared<Impl>()) {}

VideoEchoDispatch::~VideoEchoDispatch() = default;

void VideoEchoDispatch::setQVRuntime(vantor::IQVRuntime* runtime) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->runtime = runtime;
}

void VideoEchoDispatch::setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr> mgr) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->echoMgr.swap(mgr);  // the old reference is released after the lock
}

void VideoEchoDispatch::setMediaMgr(vantor::IMediaMgr* mediaMgr) {
    const auto manager = impl_->manager();
    if (!manager) {
        TARN_LOG_WARN("sharedVideoEchoMgr is nullptr!");
        return;
    }
    manager->setMediaMgr(mediaMgr);
}

void VideoEchoDispatch::updateFrameData(const MediaInfo& info, const qv::mediacore::IFrame* frame) {
    if (const auto manager = impl_->manager()) {
        manager->updateFrameData(info, frame);
    }
}

// The task holds the dispatch's state by weak reference: a dispatch destroyed before the runtime
// runs the task turns it into a no-op instead of a dangling call.
void VideoEchoDispatch::setEditingMode(EditingMode mode, bool flag) {
    vantor::IQVRuntime* runtime = nullptr;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        runtime = impl_->runtime;
    }
    if (runtime == nullptr) {
        TARN_LOG_WARN("qvRuntime is nullptr, editing mode {} not forwarded",
                      static_cast<int32_t>(mode));
        return;
    }
    const std::weak_ptr<Impl> weakImpl = impl_;
    const std::function<void()> task = [weakImpl, mode, flag]() {
        const auto impl = weakImpl.lock();
        if (!impl) {
            return;
        }
        if (const auto manager = impl->manager()) {
            manager->setEditingMode(mode, flag);
        }
    };
    runtime->postTask(task, __FILE__, 58, "setEditingMode");
}

}  // namespace tarn::mediadispatch
