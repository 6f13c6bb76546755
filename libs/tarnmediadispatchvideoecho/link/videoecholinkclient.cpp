#include <tarnmediadispatchvideoecho/videoecholinkclient.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <echorecordswire/echorecordsmsgpack.h>
#include <host/log.h>

#include <echorecordswire/methodnames.h>
#include "linkkeys.h"

namespace tarn::mediadispatch {

class VideoEchoLinkClient::Impl {
public:
    std::weak_ptr<IVideoEchoMgr> videoEchoMgr() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return videoEchoMgr_;
    }
    std::weak_ptr<ILinkMgr> linkMgr() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return linkMgr_;
    }
    std::weak_ptr<IRPCClient> rpcClient() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return rpcClient_;
    }
    void setRPCClient(std::weak_ptr<IRPCClient> rpcClient) {
        std::lock_guard<std::mutex> lock(mutex_);
        rpcClient_ = std::move(rpcClient);
    }
    // Storing a manager ends the slots on the previous one; `addr` and `strategy` may be empty
    // connections (no manager).
    void setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr> mgr, host::Connection addr,
                         host::Connection strategy) {
        host::ScopedConnection oldAddr;
        host::ScopedConnection oldStrategy;
        std::lock_guard<std::mutex> lock(mutex_);
        videoEchoMgr_ = std::move(mgr);
        oldAddr = std::move(addrConnection_);
        oldStrategy = std::move(strategyConnection_);
        addrConnection_ = addr;
        strategyConnection_ = strategy;
    }
    void setLinkMgr(std::weak_ptr<ILinkMgr> linkMgr, host::Connection serverType) {
        host::ScopedConnection old;
        std::lock_guard<std::mutex> lock(mutex_);
        linkMgr_ = std::move(linkMgr);
        old = std::move(serverTypeConnection_);
        serverTypeConnection_ = serverType;
    }

    // Connected to the manager's echoAddrChanged.
    void onLocalEchoAddrChanged(const VideoEchoAddr& addr) {
        if (!videoEchoMgr().lock()) {
            TARN_LOG_WARN("sharedVideoEchoMgr is nullptr!");
            return;
        }
        auto link = linkMgr().lock();
        if (!link) {
            TARN_LOG_WARN("sharedLinkMgr is nullptr!");
            return;
        }
        TARN_LOG_INFO("send current address is:{}", addr.url);
        publish(*link, methods::kAddEchoAddr, wire::encodeRecord(addr));
    }

    // Connected to the manager's spliceStrategyChanged.
    void onUpdateSpliceStrategy(const VideoEchoSpliceStrategy& strategy) {
        if (!videoEchoMgr().lock()) {
            TARN_LOG_WARN("sharedVideoEchoMgr is nullptr!");
            return;
        }
        auto link = linkMgr().lock();
        if (!link) {
            TARN_LOG_WARN("sharedLinkMgr is nullptr!");
            return;
        }
        publish(*link, methods::kUpdateSpliceStrategy, wire::encodeRecord(strategy));
    }

    // Connected to the link manager's serverTypeChanged: a machine that becomes the main one tells
    // the others everything it has.
    void localStatusChanged(const vantor::link::ServerType& type) {
        if (type != 1) {
            return;
        }
        auto mgr = videoEchoMgr().lock();
        if (!mgr) {
            TARN_LOG_WARN("sharedPhysicsOutput is nullptr!");
            return;
        }
        const auto addrs = mgr->getLocalAllVideoEchoAddr();
        const auto strategies = mgr->getLocalEchoSpliceStrategies();
        auto link = linkMgr().lock();
        if (!link) {
            TARN_LOG_WARN("sharedLinkMgr is nullptr!");
            return;
        }
        publish(*link, methods::kUpdateEchoAddrs, wire::encodeRecord(addrs));
        publish(*link, methods::kUpdateSpliceStrategies, wire::encodeRecord(strategies));
    }

private:
    static void publish(ILinkMgr& link, const char* method, std::string payload) {
        vantor::link::LinkMessage message;
        message.key = link::linkKey(method);
        message.payload = std::move(payload);
        message.flag = true;
        link.publish(message);
    }

    mutable std::mutex mutex_;
    std::weak_ptr<IVideoEchoMgr> videoEchoMgr_;    // guarded by mutex_
    std::weak_ptr<ILinkMgr> linkMgr_;              // guarded by mutex_
    std::weak_ptr<IRPCClient> rpcClient_;          // guarded by mutex_
    host::ScopedConnection addrConnection_;        // guarded by mutex_
    host::ScopedConnection strategyConnection_;    // guarded by mutex_
    host::ScopedConnection serverTypeConnection_;  // guarded by mutex_
};

VideoEchoLinkClient::VideoEchoLinkClient() : impl_(std::make_shared<Impl>()) {}

VideoEchoLinkClient::~VideoEchoLinkClient() {
    // Ends the slots now, even if a publication running on another thread still holds the state.
    impl_->setVideoEchoMgr({}, {}, {});
    impl_->setLinkMgr({}, {});
}

void VideoEchoLinkClient::setLinkMgr(std::weak_ptr<ILinkMgr> linkMgr) {
    auto shared = linkMgr.lock();
    if (!shared) {
        impl_->setLinkMgr(std::move(linkMgr), {});
        TARN_LOG_WARN("sharedLinkMgr is nullptr!");
        return;
    }
    impl_->setLinkMgr(std::move(linkMgr),
                      shared->serverTypeChanged.connect([weak = std::weak_ptr<Impl>(impl_)](
                                                            const vantor::link::ServerType& type) {
                          if (auto impl = weak.lock()) {
                              impl->localStatusChanged(type);
                          }
                      }));
}

void VideoEchoLinkClient::setRPCClient(std::weak_ptr<IRPCClient> rpcClient) {
    impl_->setRPCClient(std::move(rpcClient));
}

void VideoEchoLinkClient::setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr> videoEchoMgr) {
    auto shared = videoEchoMgr.lock();
    if (!shared) {
        impl_->setVideoEchoMgr(std::move(videoEchoMgr), {}, {});
        TARN_LOG_WARN("sharedvideoEchoMgr is nullptr!");
        return;
    }
    const std::weak_ptr<Impl> weak = impl_;
    impl_->setVideoEchoMgr(
        std::move(videoEchoMgr), shared->echoAddrChanged.connect([weak](const VideoEchoAddr& addr) {
            if (auto impl = weak.lock()) {
                impl->onLocalEchoAddrChanged(addr);
            }
        }),
        shared->spliceStrategyChanged.connect([weak](const VideoEchoSpliceStrategy& strategy) {
            if (auto impl = weak.lock()) {
                impl->onUpdateSpliceStrategy(strategy);
            }
        }));
}

std::weak_ptr<ILinkMgr> VideoEchoLinkClient::linkMgr() const {
    return impl_->linkMgr();
}
std::weak_ptr<IRPCClient> VideoEchoLinkClient::rpcClient() const {
    return impl_->rpcClient();
}
std::weak_ptr<IVideoEchoMgr> VideoEchoLinkClient::videoEchoMgr() const {
    return impl_->videoEchoMgr();
}

}  // namespace tarn::mediadispatch
