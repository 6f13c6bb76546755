// VideoEchoMgr: construction, destruction, configuration and the forwarding of the interface to
// Impl. The work itself is in cardechoes.cpp, echoregistry.cpp, dispatchwiring.cpp,
// framerouting.cpp and echomediaregistration.cpp.
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "videoechomgrimpl.h"

namespace tarn::mediadispatch {

VideoEchoMgr::Impl::Impl() : channels(8) {
    channels.max_load_factor(1.0F);
    // Longest echo key: 20 digits of the media id and 11 characters of the mode.
    lookupKey.reserve(32);
}

VideoEchoMgr::VideoEchoMgr() : impl_(std::make_shared<Impl>()) {}

VideoEchoMgr::~VideoEchoMgr() {
    impl_->disconnectDispatches(false);
    impl_->releaseEchoServers();
    VideoEcho::stopVideoEchoServer();
}

void VideoEchoMgr::setQVRuntime(vantor::IQVRuntime* runtime) {
    impl_->qvRuntime = runtime;
}

void VideoEchoMgr::setMediaMgr(vantor::IMediaMgr* mediaMgr) {
    impl_->mediaMgr = mediaMgr;
}

void VideoEchoMgr::addDispatch(std::weak_ptr<IDispatch> dispatch) {
    Impl::addDispatch(impl_, std::move(dispatch));
}

void VideoEchoMgr::removeDispatch() {
    impl_->disconnectDispatches(true);
}

void VideoEchoMgr::setSplicingRegionsCallBack(const SplicingRegionsCallBack& cb) {
    SplicingRegionsCallBack previous = cb;  // the old one is destroyed outside the lock
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->config.splicingRegionsCallBack.swap(previous);
}

void VideoEchoMgr::setVideoEchoSourceCallBack(const VideoEchoSourceCallBack& cb) {
    VideoEchoSourceCallBack previous = cb;
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->config.videoEchoSourceCallBack.swap(previous);
}

void VideoEchoMgr::setCreateMetaCallBack(const CreateMetaCallBack& cb) {
    CreateMetaCallBack previous = cb;
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->createMetaCallBack.swap(previous);
}

void VideoEchoMgr::setBoundDisplayCardsQueryCallback(const BoundDisplayCardsQueryCallback& cb) {
    BoundDisplayCardsQueryCallback previous = cb;
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->boundDisplayCardsQueryCallback.swap(previous);
}

void VideoEchoMgr::setDisplayCardsQueryCallback(const DisplayCardsQueryCallback& cb) {
    DisplayCardsQueryCallback previous = cb;
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->displayCardsQueryCallback.swap(previous);
}

void VideoEchoMgr::setDeviceQueryCallback(const DeviceQueryCallback& cb) {
    DeviceQueryCallback previous = cb;
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->deviceQueryCallback.swap(previous);
}

void VideoEchoMgr::setVideoEchoResolution(float width, float height) {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->config.width = width;
    impl_->config.height = height;
}

void VideoEchoMgr::setVideoEchoTransmissionMode(bool mode) {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->config.transmissionMode = mode;
}

void VideoEchoMgr::setVideoEchoFPS(float fps) {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->config.fps = fps;
}

void VideoEchoMgr::setVideoEchoBitRate(float bitRate) {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->config.bitRate = bitRate;
}

void VideoEchoMgr::setVideoEchoServerEnabled(bool enabled) {
    impl_->serverEnabled = enabled;
}

void VideoEchoMgr::updateFrameData(const MediaInfo& info, const qv::mediacore::IFrame* frame) {
    impl_->updateFrameData(info, frame);
}

void VideoEchoMgr::setEditingMode(EditingMode mode, bool flag) {
    impl_->setEditingMode(mode, flag);
}

void VideoEchoMgr::onDeviceReady(const STDisplayCardInfo& info) {
    impl_->onDeviceReady(info);
}

}  // namespace tarn::mediadispatch
