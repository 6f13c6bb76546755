#include <tarnmediadispatchvideoecho/videoecholink.h>

#include <utility>

namespace tarn::mediadispatch {

// Declared in this order so that destruction releases the client, the server, then the three
// references.
struct VideoEchoLink::Impl {
    std::weak_ptr<IVideoEchoMgr> videoEchoMgr;
    std::weak_ptr<ILinkMgr> linkMgr;
    std::weak_ptr<IRPCClient> rpcClient;
    std::shared_ptr<VideoEchoLinkServer> server;
    std::shared_ptr<VideoEchoLinkClient> client;
};

VideoEchoLink::VideoEchoLink() : impl_(std::make_unique<Impl>()) {
    impl_->server = std::make_shared<VideoEchoLinkServer>();
    impl_->client = std::make_shared<VideoEchoLinkClient>();
}

VideoEchoLink::~VideoEchoLink() = default;

void VideoEchoLink::setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr> videoEchoMgr) {
    impl_->videoEchoMgr = std::move(videoEchoMgr);
    impl_->server->setVideoEchoMgr(impl_->videoEchoMgr);
    impl_->client->setVideoEchoMgr(impl_->videoEchoMgr);
}

void VideoEchoLink::setLinkMgr(std::weak_ptr<ILinkMgr> linkMgr) {
    impl_->linkMgr = std::move(linkMgr);
    impl_->client->setLinkMgr(impl_->linkMgr);
    impl_->server->setLinkMgr(impl_->linkMgr);
}

void VideoEchoLink::setRPCClient(std::weak_ptr<IRPCClient> rpcClient) {
    impl_->rpcClient = std::move(rpcClient);
    impl_->server->setRPCClient(impl_->rpcClient);
}

std::shared_ptr<VideoEchoLinkServer> VideoEchoLink::server() const {
    return impl_->server;
}
std::shared_ptr<VideoEchoLinkClient> VideoEchoLink::client() const {
    return impl_->client;
}

}  // namespace tarn::mediadispatch
