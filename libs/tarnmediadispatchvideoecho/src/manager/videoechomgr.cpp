// VideoEchoMgr: construction, destruction, configuration and the forwarding of the interface to
// the parts of Impl: card echoes (cardechoes.cpp), the registry (echoregistry.cpp), the bound cards
// (boundcards.cpp), the dispatch wiring (dispatchwiring.cpp), the source side (framerouting.cpp)
// and the viewer side (echomediaregistration.cpp).
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "videoechomgrimpl.h"

namespace tarn::mediadispatch {

VideoEchoMgr::VideoEchoMgr() : impl_(std::make_shared<Impl>()) {}

VideoEchoMgr::~VideoEchoMgr() {
    impl_->disconnectDispatches(false);
    impl_->cards.release();
    VideoEcho::stopVideoEchoServer();
}

void VideoEchoMgr::setQVRuntime(vantor::IQVRuntime* runtime) {
    impl_->viewer.setQVRuntime(runtime);
}

void VideoEchoMgr::setMediaMgr(vantor::IMediaMgr* mediaMgr) {
    impl_->viewer.setMediaMgr(mediaMgr);
}

void VideoEchoMgr::addDispatch(std::weak_ptr<IDispatch> dispatch) {
    Impl::addDispatch(impl_, std::move(dispatch));
}

void VideoEchoMgr::removeDispatch() {
    impl_->disconnectDispatches(true);
}

void VideoEchoMgr::setSplicingRegionsCallBack(const SplicingRegionsCallBack& cb) {
    SplicingRegionsCallBack previous = cb;  // the old one is destroyed outside the lock
    impl_->cards.configure(
        [&previous](CardEchoes::Config& config) { config.splicingRegionsCallBack.swap(previous); });
}

void VideoEchoMgr::setVideoEchoSourceCallBack(const VideoEchoSourceCallBack& cb) {
    VideoEchoSourceCallBack previous = cb;  // the old one is destroyed outside the lock
    impl_->cards.configure(
        [&previous](CardEchoes::Config& config) { config.videoEchoSourceCallBack.swap(previous); });
}

void VideoEchoMgr::setCreateMetaCallBack(const CreateMetaCallBack& cb) {
    CreateMetaCallBack previous = cb;  // the old one is destroyed outside the lock
    std::lock_guard<std::mutex> lock(impl_->hostCallbackMutex);
    impl_->createMetaCallBack.swap(previous);
}

void VideoEchoMgr::setBoundDisplayCardsQueryCallback(const BoundDisplayCardsQueryCallback& cb) {
    impl_->bound.setQuery(cb);
}

void VideoEchoMgr::setDisplayCardsQueryCallback(const DisplayCardsQueryCallback& cb) {
    DisplayCardsQueryCallback previous = cb;  // the old one is destroyed outside the lock
    std::lock_guard<std::mutex> lock(impl_->hostCallbackMutex);
    impl_->displayCardsQueryCallback.swap(previous);
}

void VideoEchoMgr::setDeviceQueryCallback(const DeviceQueryCallback& cb) {
    DeviceQueryCallback previous = cb;  // the old one is destroyed outside the lock
    std::lock_guard<std::mutex> lock(impl_->hostCallbackMutex);
    impl_->deviceQueryCallback.swap(previous);
}

void VideoEchoMgr::setVideoEchoResolution(float width, float height) {
    impl_->cards.configure([=](CardEchoes::Config& config) {
        config.width = width;
        config.height = height;
    });
}

void VideoEchoMgr::setVideoEchoTransmissionMode(bool mode) {
    impl_->cards.configure([=](CardEchoes::Config& config) { config.transmissionMode = mode; });
}

void VideoEchoMgr::setVideoEchoFPS(float fps) {
    impl_->cards.configure([=](CardEchoes::Config& config) { config.fps = fps; });
}

void VideoEchoMgr::setVideoEchoBitRate(float bitRate) {
    impl_->cards.configure([=](CardEchoes::Config& config) { config.bitRate = bitRate; });
}

void VideoEchoMgr::setVideoEchoServerEnabled(bool enabled) {
    impl_->serverEnabled = enabled;
}

void VideoEchoMgr::updateFrameData(const MediaInfo& info, const qv::mediacore::IFrame* frame) {
    impl_->source.updateFrameData(info, frame);
}

void VideoEchoMgr::setEditingMode(EditingMode mode, bool flag) {
    impl_->bound.setEditingMode(mode);
    impl_->role().setEditingMode(mode, flag);
}

void VideoEchoMgr::onDeviceReady(const STDisplayCardInfo& info) {
    impl_->role().onDeviceReady(info);
}

}  // namespace tarn::mediadispatch
