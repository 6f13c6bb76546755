// The publishing side of the link channel: while it has an echo manager and a link manager it
// publishes the manager's new addresses ("42AddEchoAddr") and splice strategies
// ("42UpdateSpliceStrategy"), and, when the link manager reports this machine as the main one, the
// manager's complete lists ("42UpdateEchoAddrs", "42UpdateSpliceStrategies"). Created by
// VideoEchoLink; setters from the host's setup thread, publications on the emitting threads.
#pragma once

#include <memory>

#include <tarnmediadispatchvideoecho/export.h>
#include <tarnmediadispatchvideoecho/ivideoecholink.h>

namespace tarn::mediadispatch {

class TARN_VIDEOECHO_API VideoEchoLinkClient : public IVideoEchoLink {
public:
    VideoEchoLinkClient();
    ~VideoEchoLinkClient() override;
    VideoEchoLinkClient(const VideoEchoLinkClient&) = delete;
    VideoEchoLinkClient& operator=(const VideoEchoLinkClient&) = delete;

    // Listens to the link manager's serverTypeChanged (replacing an earlier link manager's slot).
    void setLinkMgr(std::weak_ptr<ILinkMgr> linkMgr) override;
    // Kept only; the client makes no RPC call.
    void setRPCClient(std::weak_ptr<IRPCClient> rpcClient) override;
    // Listens to the manager's echoAddrChanged and spliceStrategyChanged (replacing an earlier
    // manager's slots).
    void setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr> videoEchoMgr) override;

    std::weak_ptr<ILinkMgr> linkMgr() const;
    std::weak_ptr<IRPCClient> rpcClient() const;
    std::weak_ptr<IVideoEchoMgr> videoEchoMgr() const;

private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace tarn::mediadispatch
