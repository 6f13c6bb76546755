#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyserver.h>

#include <mutex>
#include <vector>

#include <echorecordswire/echorecordsmsgpack.h>
#include <host/log.h>

#include <echorecordswire/methodnames.h>
#include "handlerbinding.h"
#include "managerconnections.h"

namespace tarn::mediadispatch {

class VideoEchoDisptachMultimachineProxyServer::Impl : public std::enable_shared_from_this<Impl> {
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

    // Receipt handlers: decode first, so that a payload that does not decode changes nothing.
    // Decoding runs on whichever thread the runtime calls from (the server handles large requests
    // on a worker, small ones on its I/O thread); the manager is then called on one path,
    // managerPath_, so that it sees one call at a time and a connection's calls in their order.
    void onAddEchoAddr(const char* data, unsigned size) {
        const auto addr = wire::decodeArgument<VideoEchoAddr>(data, size);
        if (auto mgr = manager()) {
            const std::lock_guard<std::mutex> ordered(managerPath_);
            mgr->addEcho(addr);
        }
        republish(methods::kAddEchoAddr, data, size);
    }
    void onUpdateEchoAddrs(const char* data, unsigned size) {
        republish(methods::kUpdateEchoAddrs, data, size);
    }
    void onUpdateSpliceStrategy(const char* data, unsigned size) {
        const auto strategy = wire::decodeArgument<VideoEchoSpliceStrategy>(data, size);
        if (auto mgr = manager()) {
            const std::lock_guard<std::mutex> ordered(managerPath_);
            mgr->setVideoEchoSpliceStrategy(strategy);
        }
        republish(methods::kUpdateSpliceStrategy, data, size);
    }
    void onUpdateSpliceStrategies(const char* data, unsigned size) {
        {
            // Released before the republication, so that the two never take memory together.
            const auto strategies =
                wire::decodeArgument<std::vector<VideoEchoSpliceStrategy>>(data, size);
            if (auto mgr = manager()) {
                const std::lock_guard<std::mutex> ordered(managerPath_);
                mgr->setVideoEchoSpliceStrategies(strategies);
            }
        }
        republish(methods::kUpdateSpliceStrategies, data, size);
    }
    void onUpdateEchoInfo(const char*, unsigned) {}
    // The runtime's handlers return nothing, so the list has no way back to the caller yet.
    void onRequestEchoInfo(const char*, unsigned) {
        if (auto mgr = manager()) {
            const std::lock_guard<std::mutex> ordered(managerPath_);
            mgr->getAllEchoInfo();
        }
    }

    // Record slots: a manager that emits before a runtime is attached has nobody to tell.
    void publishAddr(const VideoEchoAddr& addr) { publishRecord(methods::kAddEchoAddr, addr); }
    void publishStrategy(const VideoEchoSpliceStrategy& strategy) {
        publishRecord(methods::kUpdateSpliceStrategy, strategy);
    }

    detail::ManagerConnections connections;

private:
    void republish(const char* name, const char* data, unsigned size) {
        if (auto* rt = runtime()) {
            rt->publish(name, data, size);
        }
    }
    template <typename T>
    void publishRecord(const char* name, const T& value) {
        auto* rt = runtime();
        if (rt == nullptr) {
            return;
        }
        const msgpack::sbuffer buffer = wire::encodeArgument(value);
        rt->publish(name, buffer.data(), static_cast<unsigned>(buffer.size()));
    }

    mutable std::mutex mutex_;
    // Held around every call into the manager from a receipt handler; the manager's slots that
    // publish do not take it, so a publication from inside a call cannot deadlock.
    std::mutex managerPath_;
    std::shared_ptr<IVideoEchoMgr> videoEchoMgr_;  // guarded by mutex_
    vantor::IQVRuntime* qvRuntime_ = nullptr;      // guarded by mutex_; not owned
};

namespace {

// Registration order of the main machine's handlers.
constexpr const char* kServerMethods[] = {
    methods::kUpdateEchoAddrs, methods::kUpdateSpliceStrategy, methods::kUpdateSpliceStrategies,
    methods::kAddEchoAddr,     methods::kUpdateEchoInfo,       methods::kRequestEchoInfo,
};

}  // namespace

VideoEchoDisptachMultimachineProxyServer::VideoEchoDisptachMultimachineProxyServer()
    : impl_(std::make_shared<Impl>()) {}

VideoEchoDisptachMultimachineProxyServer::VideoEchoDisptachMultimachineProxyServer(
    const VideoEchoDisptachMultimachineProxyServer& other)
    : IVideoEchoDisptachMultimachineProxyServer(), impl_(other.impl_) {}

VideoEchoDisptachMultimachineProxyServer& VideoEchoDisptachMultimachineProxyServer::operator=(
    const VideoEchoDisptachMultimachineProxyServer& other) {
    if (impl_ != other.impl_) {
        impl_->connections.disconnectOwner(this);
        impl_ = other.impl_;
    }
    return *this;
}

VideoEchoDisptachMultimachineProxyServer::~VideoEchoDisptachMultimachineProxyServer() {
    // The onReady slot calls this very object; the record slots die with the shared state.
    impl_->connections.disconnectOwner(this);
}

void VideoEchoDisptachMultimachineProxyServer::setVideoEchoMgr(std::shared_ptr<IVideoEchoMgr> mgr) {
    impl_->setManager(mgr);
    if (!mgr) {
        return;
    }
    const std::weak_ptr<Impl> weak = impl_;
    impl_->connections.add(mgr.get(), impl_.get(),
                           mgr->echoAddrChanged.connect([weak](const VideoEchoAddr& addr) {
                               if (auto impl = weak.lock()) {
                                   impl->publishAddr(addr);
                               }
                           }));
    impl_->connections.add(mgr.get(), this,
                           mgr->readyChanged.connect([this](bool ready) { onReady(ready); }));
    impl_->connections.add(
        mgr.get(), impl_.get(),
        mgr->spliceStrategyChanged.connect([weak](const VideoEchoSpliceStrategy& strategy) {
            if (auto impl = weak.lock()) {
                impl->publishStrategy(strategy);
            }
        }));
}

void VideoEchoDisptachMultimachineProxyServer::unsetVideoEchoMgr() {
    // The manager stays stored: the receipt handlers go on calling it.
    if (auto mgr = impl_->manager()) {
        impl_->connections.disconnect(mgr.get(), {impl_.get(), this});
    }
}

void VideoEchoDisptachMultimachineProxyServer::onReady(bool) {}

void VideoEchoDisptachMultimachineProxyServer::setRPCServer(vantor::IQVRuntime* runtime) {
    impl_->setRuntime(runtime);
    if (runtime == nullptr) {
        TARN_LOG_WARN("VideoEchoDisptachMultimachineProxyServer qvRuntime is null!");
        return;
    }
    runtime->registerHandler(methods::kUpdateEchoAddrs,
                             detail::bindHandler<Impl, &Impl::onUpdateEchoAddrs>(impl_));
    runtime->registerHandler(methods::kUpdateSpliceStrategy,
                             detail::bindHandler<Impl, &Impl::onUpdateSpliceStrategy>(impl_));
    runtime->registerHandler(methods::kUpdateSpliceStrategies,
                             detail::bindHandler<Impl, &Impl::onUpdateSpliceStrategies>(impl_));
    runtime->registerHandler(methods::kAddEchoAddr,
                             detail::bindHandler<Impl, &Impl::onAddEchoAddr>(impl_));
    runtime->registerHandler(methods::kUpdateEchoInfo,
                             detail::bindHandler<Impl, &Impl::onUpdateEchoInfo>(impl_));
    runtime->registerHandler(methods::kRequestEchoInfo,
                             detail::bindHandler<Impl, &Impl::onRequestEchoInfo>(impl_));
}

void VideoEchoDisptachMultimachineProxyServer::unsetRPCServer() {
    auto* runtime = impl_->runtime();
    if (runtime == nullptr) {
        TARN_LOG_WARN("VideoEchoDisptachMultimachineProxyServer qvRuntime is null!");
        return;
    }
    for (const char* name : kServerMethods) {
        runtime->unregisterHandler(name);
    }
}

}  // namespace tarn::mediadispatch
