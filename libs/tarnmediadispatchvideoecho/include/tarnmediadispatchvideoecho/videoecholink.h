// The entry point of the inter-node link: owns one link server and one link client and hands them
// the host's link manager, RPC client and echo manager (observed, never owned). Call setLinkMgr
// before setVideoEchoMgr, and setRPCClient before the link delivers. Setters from one thread.
#pragma once

#include <memory>

#include <tarnmediadispatchvideoecho/export.h>
#include <tarnmediadispatchvideoecho/ivideoecholink.h>
#include <tarnmediadispatchvideoecho/videoecholinkclient.h>
#include <tarnmediadispatchvideoecho/videoecholinkserver.h>

namespace tarn::mediadispatch {

class TARN_VIDEOECHO_API VideoEchoLink : public IVideoEchoLink {
public:
    VideoEchoLink();
    ~VideoEchoLink() override;
    VideoEchoLink(const VideoEchoLink&) = delete;
    VideoEchoLink& operator=(const VideoEchoLink&) = delete;

    void setLinkMgr(std::weak_ptr<ILinkMgr> linkMgr) override;
    // Reaches the server only.
    void setRPCClient(std::weak_ptr<IRPCClient> rpcClient) override;
    void setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr> videoEchoMgr) override;

    std::shared_ptr<VideoEchoLinkServer> server() const;
    std::shared_ptr<VideoEchoLinkClient> client() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarn::mediadispatch
