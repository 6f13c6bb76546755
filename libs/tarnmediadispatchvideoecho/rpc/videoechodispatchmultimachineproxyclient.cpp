#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyclient.h>

#include <mutex>
#include <vector>

#include <echorecordswire/echorecordsmsgpack.h>
#include <host/log.h>

#include <echorecordswire/methodnames.h>
#include "handlerbinding.h"
#include "managerconnections.h"

namespace tarn::mediadispatch {

class VideoEchoDisptachMultimachineProxyClient::Impl : public std::enable_shared_from_this<Impl> {
public:
    std::shared_ptr<IVideoEchoMgr> manager() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return videoEchoMgr_;
    }
    void setManager(std::shared_ptr<IVideoEchoMgr> mgr) {
        std::lock_guard<std::mutex> lock(mutex_);
        videoEchoMgr_ = std::move(mgr);
    }
    vantor::IQVRuntime* runtime() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return qvRuntime_;
    }
    void setRuntime(vantor::IQVRuntime* runtime) {
        std::lock_guard<std::mutex> lock(mutex_);
        qvRuntime_ = runtime;
    }

    // Each handler decodes before it looks for the manager, so a payload that does not decode is
    // refused the same way with or without one.
    void onAddEchoAddr(const char* data, unsigned size) {
        const auto addr = wire::decodeArgument<VideoEchoAddr>(data, size);
        if (auto mgr = managerFor(methods::kAddEchoAddr)) {
            mgr->AddMedia(addr);
        }
    }
    void onUpdateSpliceStrategy(const char* data, unsigned size) {
        const auto strategy = wire::decodeArgument<VideoEchoSpliceStrategy>(data, size);
        if (auto mgr = managerFor(methods::kUpdateSpliceStrategy)) {
            mgr->updateSpliceStrategy(strategy);
        }
    }
    void onUpdateEchoAddrs(const char* data, unsigned size) {
        const auto addrs = wire::decodeArgument<std::vector<VideoEchoAddr>>(data, size);
        if (auto mgr = managerFor(methods::kUpdateEchoAddrs)) {
            for (const auto& addr : addrs) {
                mgr->AddMedia(addr);
            }
        }
    }
    void onUpdateSpliceStrategies(const char* data, unsigned size) {
        const auto strategies =
            wire::decodeArgument<std::vector<VideoEchoSpliceStrategy>>(data, size);
        if (auto mgr = managerFor(methods::kUpdateSpliceStrategies)) {
            for (const auto& strategy : strategies) {
                mgr->updateSpliceStrategy(strategy);
            }
        }
    }

    detail::ManagerConnections connections;

private:
    // A push that arrives before the host has set a manager is dropped.
    std::shared_ptr<IVideoEchoMgr> managerFor(const char* method) const {
        auto mgr = manager();
        if (!mgr) {
            TARN_LOG_WARN(
                "videoechodispatchmultimachineproxyclient videoEchoMgr is null, {} dropped!",
                method);
        }
        return mgr;
    }

    mutable std::mutex mutex_;
    std::shared_ptr<IVideoEchoMgr> videoEchoMgr_;  // guarded by mutex_
    vantor::IQVRuntime* qvRuntime_ = nullptr;      // guarded by mutex_; not owned
};

namespace {

// Registration order of a node's handlers.
constexpr const char* kClientMethods[] = {
    methods::kAddEchoAddr,
    methods::kUpdateSpliceStrategy,
    methods::kUpdateEchoAddrs,
    methods::kUpdateSpliceStrategies,
};

}  // namespace

VideoEchoDisptachMultimachineProxyClient::VideoEchoDisptachMultimachineProxyClient()
    : impl_(std::make_shared<Impl>()) {}

VideoEchoDisptachMultimachineProxyClient::VideoEchoDisptachMultimachineProxyClient(
    const VideoEchoDisptachMultimachineProxyClient& other)
    : IVideoEchoDisptachMultimachineProxyClient(), impl_(other.impl_) {}

VideoEchoDisptachMultimachineProxyClient& VideoEchoDisptachMultimachineProxyClient::operator=(
    const VideoEchoDisptachMultimachineProxyClient& other) {
    if (impl_ != other.impl_) {
        impl_->connections.disconnectOwner(this);
        impl_ = other.impl_;
    }
    return *this;
}

VideoEchoDisptachMultimachineProxyClient::~VideoEchoDisptachMultimachineProxyClient() {
    // The onReady slot calls this very object.
    impl_->connections.disconnectOwner(this);
}

void VideoEchoDisptachMultimachineProxyClient::setVideoEchoMgr(std::shared_ptr<IVideoEchoMgr> mgr) {
    impl_->setManager(mgr);
    if (!mgr) {
        return;
    }
    impl_->connections.add(mgr.get(), this,
                           mgr->readyChanged.connect([this](bool ready) { onReady(ready); }));
}

void VideoEchoDisptachMultimachineProxyClient::unsetVideoEchoMgr() {
    // The manager stays stored: the handlers go on calling it.
    if (auto mgr = impl_->manager()) {
        impl_->connections.disconnect(mgr.get(), {this});
    }
}

void VideoEchoDisptachMultimachineProxyClient::onReady(bool) {}

void VideoEchoDisptachMultimachineProxyClient::setRPCClient(vantor::IQVRuntime* runtime) {
    impl_->setRuntime(runtime);
    if (runtime == nullptr) {
        TARN_LOG_WARN("videoechodispatchmultimachineproxyclient qvRuntime is null!");
        return;
    }
    runtime->registerHandler(methods::kAddEchoAddr,
                             detail::bindHandler<Impl, &Impl::onAddEchoAddr>(impl_));
    runtime->registerHandler(methods::kUpdateSpliceStrategy,
                             detail::bindHandler<Impl, &Impl::onUpdateSpliceStrategy>(impl_));
    runtime->registerHandler(methods::kUpdateEchoAddrs,
                             detail::bindHandler<Impl, &Impl::onUpdateEchoAddrs>(impl_));
    runtime->registerHandler(methods::kUpdateSpliceStrategies,
                             detail::bindHandler<Impl, &Impl::onUpdateSpliceStrategies>(impl_));
}

void VideoEchoDisptachMultimachineProxyClient::unsetRPCClient() {
    auto* runtime = impl_->runtime();
    if (runtime == nullptr) {
        TARN_LOG_WARN("videoechodispatchmultimachineproxyclient qvRuntime is null!");
        return;
    }
    for (const char* name : kClientMethods) {
        runtime->unregisterHandler(name);
    }
}

}  // namespace tarn::mediadispatch
