#include <tarnmediadispatchvideoecho/videoecholinkserver.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <echorecordswire/echorecordsmsgpack.h>
#include <host/irpcclient.h>
#include <host/log.h>
#include <tarnmultimachineproxy/rpcclientassist.h>

#include <echorecordswire/methodnames.h>
#include "linkkeys.h"

namespace tarn::mediadispatch {

class VideoEchoLinkServer::Impl {
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
    void setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr> mgr) {
        std::lock_guard<std::mutex> lock(mutex_);
        videoEchoMgr_ = std::move(mgr);
    }
    void setLinkMgr(std::weak_ptr<ILinkMgr> linkMgr) {
        std::lock_guard<std::mutex> lock(mutex_);
        linkMgr_ = std::move(linkMgr);
    }
    void setRPCClient(std::weak_ptr<IRPCClient> rpcClient) {
        std::lock_guard<std::mutex> lock(mutex_);
        rpcClient_ = std::move(rpcClient);
    }

    // Link deliveries: without an RPC client the message is dropped before it is decoded.
    void onRemoteEchoAddrChanged(const std::string& payload) {
        auto client = rpcClient().lock();
        if (!client) {
            TARN_LOG_WARN("sharedRpcClient is nullptr!");
            return;
        }
        const auto addr = wire::decodeRecord<VideoEchoAddr>(payload.data(), payload.size());
        multimachine::call(client->getClient(), methods::kAddEchoAddr, addr);
    }
    void onRemoteEchoAddrsReceived(const std::string& payload, const std::string&) {
        auto client = rpcClient().lock();
        if (!client) {
            TARN_LOG_WARN("sharedRpcClient is nullptr!");
            return;
        }
        const auto addrs =
            wire::decodeRecord<std::vector<VideoEchoAddr>>(payload.data(), payload.size());
        multimachine::call(client->getClient(), methods::kUpdateEchoAddrs, addrs);
    }
    void onUpdateRemoteSpliceStrategy(const std::string& payload) {
        auto client = rpcClient().lock();
        if (!client) {
            TARN_LOG_WARN("sharedRpcClient is nullptr!");
            return;
        }
        const auto strategy =
            wire::decodeRecord<VideoEchoSpliceStrategy>(payload.data(), payload.size());
        multimachine::call(client->getClient(), methods::kUpdateSpliceStrategy, strategy);
    }
    void onUpdateRemoteSpliceStrategies(const std::string& payload) {
        auto client = rpcClient().lock();
        if (!client) {
            TARN_LOG_WARN("sharedRpcClient is nullptr!");
            return;
        }
        const auto strategies = wire::decodeRecord<std::vector<VideoEchoSpliceStrategy>>(
            payload.data(), payload.size());
        multimachine::call(client->getClient(), methods::kUpdateSpliceStrategies, strategies);
    }

    // A node that is (back) in the installation gets the complete lists.
    void localStatusChanged(const vantor::link::ServerNodeInfo& info) {
        if (info.disconnected) {
            return;
        }
        auto mgr = videoEchoMgr().lock();
        if (!mgr) {
            TARN_LOG_WARN("sharedPhysicsOutput is nullptr!");
            return;
        }
        const auto addrs = mgr->getAllVideoEchoAddr();
        const auto strategies = mgr->getAllEchoSpliceStrategies();
        auto client = rpcClient().lock();
        if (!client) {
            TARN_LOG_WARN("sharedRpcClient is nullptr!");
            return;
        }
        multimachine::call(client->getClient(), methods::kUpdateEchoAddrs, addrs);
        multimachine::call(client->getClient(), methods::kUpdateSpliceStrategies, strategies);
    }

    void keepConnection(host::Connection connection) {
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.emplace_back(connection);
    }
    void keepSubscription(const std::shared_ptr<ILinkMgr>& linkMgr, uint64_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        subscriptions_.push_back({linkMgr, id});
    }
    // Ends the signal connections and the subscriptions on every link manager still alive.
    void end() {
        std::vector<host::ScopedConnection> connections;
        std::vector<Subscription> subscriptions;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            connections.swap(connections_);
            subscriptions.swap(subscriptions_);
        }
        for (const auto& subscription : subscriptions) {
            if (auto linkMgr = subscription.linkMgr.lock()) {
                linkMgr->unsubscribe(subscription.id);
            }
        }
    }

private:
    struct Subscription {
        std::weak_ptr<ILinkMgr> linkMgr;
        uint64_t id;
    };

    mutable std::mutex mutex_;
    std::weak_ptr<IVideoEchoMgr> videoEchoMgr_;        // guarded by mutex_
    std::weak_ptr<ILinkMgr> linkMgr_;                  // guarded by mutex_
    std::weak_ptr<IRPCClient> rpcClient_;              // guarded by mutex_
    std::vector<host::ScopedConnection> connections_;  // guarded by mutex_
    std::vector<Subscription> subscriptions_;          // guarded by mutex_
};

VideoEchoLinkServer::VideoEchoLinkServer() : impl_(std::make_shared<Impl>()) {}

VideoEchoLinkServer::~VideoEchoLinkServer() {
    impl_->end();
}

void VideoEchoLinkServer::setLinkMgr(std::weak_ptr<ILinkMgr> linkMgr) {
    impl_->setLinkMgr(linkMgr);
    auto shared = linkMgr.lock();
    if (!shared) {
        TARN_LOG_WARN("sharedLinkMgr is nullptr!");
        return;
    }
    // Handlers hold the state weakly: a signal that fires while the server goes away does nothing.
    impl_->keepConnection(shared->serverNodeInfoChanged.connect(
        [weak = std::weak_ptr<Impl>(impl_)](const vantor::link::ServerNodeInfo& info) {
            if (auto impl = weak.lock()) {
                impl->localStatusChanged(info);
            }
        }));
}

void VideoEchoLinkServer::setRPCClient(std::weak_ptr<IRPCClient> rpcClient) {
    impl_->setRPCClient(std::move(rpcClient));
}

void VideoEchoLinkServer::setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr> videoEchoMgr) {
    impl_->setVideoEchoMgr(videoEchoMgr);
    auto linkMgr = impl_->linkMgr().lock();
    if (!linkMgr) {
        TARN_LOG_WARN("sharedLinkMgr is nullptr!");
        return;
    }
    if (!videoEchoMgr.lock()) {
        TARN_LOG_WARN("sharedvideoEchoMgr is nullptr!");
        return;
    }
    const std::weak_ptr<Impl> weak = impl_;
    const auto subscribe = [&](const char* method, vantor::link::LinkHandler handler) {
        impl_->keepSubscription(linkMgr, linkMgr->subscribe(link::linkKey(method), handler));
    };
    subscribe(methods::kAddEchoAddr, [weak](std::string payload, std::string) {
        if (auto impl = weak.lock()) {
            impl->onRemoteEchoAddrChanged(payload);
        }
    });
    subscribe(methods::kUpdateEchoAddrs, [weak](std::string payload, std::string second) {
        if (auto impl = weak.lock()) {
            impl->onRemoteEchoAddrsReceived(payload, second);
        }
    });
    subscribe(methods::kUpdateSpliceStrategy, [weak](std::string payload, std::string) {
        if (auto impl = weak.lock()) {
            impl->onUpdateRemoteSpliceStrategy(payload);
        }
    });
    subscribe(methods::kUpdateSpliceStrategies, [weak](std::string payload, std::string) {
        if (auto impl = weak.lock()) {
            impl->onUpdateRemoteSpliceStrategies(payload);
        }
    });
}

std::weak_ptr<ILinkMgr> VideoEchoLinkServer::linkMgr() const {
    return impl_->linkMgr();
}
std::weak_ptr<IRPCClient> VideoEchoLinkServer::rpcClient() const {
    return impl_->rpcClient();
}
std::weak_ptr<IVideoEchoMgr> VideoEchoLinkServer::videoEchoMgr() const {
    return impl_->videoEchoMgr();
}

}  // namespace tarn::mediadispatch
