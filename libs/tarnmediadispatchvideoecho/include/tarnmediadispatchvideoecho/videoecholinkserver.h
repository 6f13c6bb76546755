// The receiving side of the link channel: subscribes the four link keys ("42" + method name) and
// forwards each record it receives as an RPC call of the same name; when the link manager reports
// the node back in the installation, it pushes the echo manager's complete lists by RPC. Created
// by VideoEchoLink; setters from the host's setup thread, handlers on the link manager's threads
// (each RPC call blocks that thread for up to 5000 ms). Its destructor ends its subscriptions.
#pragma once

#include <memory>

#include <tarnmediadispatchvideoecho/export.h>
#include <tarnmediadispatchvideoecho/ivideoecholink.h>

namespace tarn::mediadispatch {

class TARN_VIDEOECHO_API VideoEchoLinkServer : public IVideoEchoLink {
public:
    VideoEchoLinkServer();
    ~VideoEchoLinkServer() override;
    VideoEchoLinkServer(const VideoEchoLinkServer&) = delete;
    VideoEchoLinkServer& operator=(const VideoEchoLinkServer&) = delete;

    // Connects to the link manager's node-status signal (once more at every call).
    void setLinkMgr(std::weak_ptr<ILinkMgr> linkMgr) override;
    void setRPCClient(std::weak_ptr<IRPCClient> rpcClient) override;
    // Subscribes the four keys (once more at every call); needs the link manager set before.
    void setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr> videoEchoMgr) override;

    std::weak_ptr<ILinkMgr> linkMgr() const;
    std::weak_ptr<IRPCClient> rpcClient() const;
    std::weak_ptr<IVideoEchoMgr> videoEchoMgr() const;

private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace tarn::mediadispatch
