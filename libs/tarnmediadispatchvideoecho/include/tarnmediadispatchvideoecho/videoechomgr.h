// VideoEchoMgr: the echo manager of a process: echo servers of the display cards, shared-memory
// writers (source side) or echo media (viewer side) of the dispatched media, frame routing and the
// address/splice-strategy registry. Created with make_shared and owned by the host; every operation
// may be called from any thread. Slots and callbacks run without any of the manager's locks held.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <host/iqvruntime.h>
#include <tarnmediadispatchvideoecho/export.h>
#include <tarnmediadispatchvideoecho/ivideoechomgr.h>

namespace tarn::mediadispatch {

class TARN_VIDEOECHO_API VideoEchoMgr : public IVideoEchoMgr,
                                        public std::enable_shared_from_this<VideoEchoMgr> {
public:
    VideoEchoMgr();
    ~VideoEchoMgr() override;

    // Not owned; the host keeps it alive for the manager's lifetime.
    void setQVRuntime(vantor::IQVRuntime* runtime);

    void addDispatch(std::weak_ptr<IDispatch> dispatch) override;
    void removeDispatch() override;
    void setMediaMgr(vantor::IMediaMgr* mediaMgr) override;
    void addEcho(const VideoEchoAddr& addr) override;
    void addEcho(const STDisplayCardId& cardId, void* device) override;
    void setSplicingRegionsCallBack(const SplicingRegionsCallBack& cb) override;
    void setVideoEchoSourceCallBack(const VideoEchoSourceCallBack& cb) override;
    std::string getVideoEchoUrl(const STDisplayCardId& cardId) override;
    void setVideoEchoId(const STDisplayCardId& cardId) override;
    void setVideoEchoResolution(float width, float height) override;
    void setVideoEchoTransmissionMode(bool mode) override;
    void setVideoEchoFPS(float fps) override;
    void setVideoEchoBitRate(float bitRate) override;
    void setVideoEchoServerEnabled(bool enabled) override;
    void updateFrameData(const MediaInfo& info, const qv::mediacore::IFrame* frame) override;
    void setCreateMetaCallBack(const CreateMetaCallBack& cb) override;
    void setBoundDisplayCardsQueryCallback(const BoundDisplayCardsQueryCallback& cb) override;
    void setDisplayCardsQueryCallback(const DisplayCardsQueryCallback& cb) override;
    void setDeviceQueryCallback(const DeviceQueryCallback& cb) override;
    void AddMedia(const VideoEchoAddr& addr) override;
    std::vector<VideoEchoAddr> getLocalAllVideoEchoAddr() override;
    std::vector<VideoEchoAddr> getAllVideoEchoAddr() override;
    void setVideoEchoAddr(const VideoEchoAddr& addr) override;
    void updateSpliceStrategy(const VideoEchoSpliceStrategy& strategy) override;
    bool startVideoEchoServer() override;
    bool stopVideoEchoServer() override;
    bool createRecordVideo(const STDisplayCardId& cardId) override;
    void onDeviceReady(const STDisplayCardInfo& info) override;
    void setEditingMode(EditingMode mode, bool flag) override;
    void setVideoEchoSpliceStrategy(const VideoEchoSpliceStrategy& strategy) override;
    std::vector<VideoEchoSpliceStrategy> getLocalEchoSpliceStrategies() override;
    std::vector<VideoEchoSpliceStrategy> getAllEchoSpliceStrategies() override;
    void setVideoEchoSpliceStrategies(
        const std::vector<VideoEchoSpliceStrategy>& strategies) override;
    std::vector<EchoInfo> getAllEchoInfo() override;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace tarn::mediadispatch
