// The echo manager's interface: what the host, the dispatch plug-in and the inter-machine channels
// call. One manager per process, shared as std::shared_ptr / std::weak_ptr. The signals are
// thread-safe and their slots run on the emitting thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <host/idispatch.h>
#include <host/iframe.h>
#include <host/imediamgr.h>
#include <host/signal.h>
#include <host/videoecho.h>
#include <tarnmediadispatchvideoecho/echorecords.h>
#include <tarnmediadispatchvideoecho/export.h>

namespace tarn::mediadispatch {

using vantor::EditingMode;
using vantor::mediadispatch::STDisplayCardInfo;

using CreateMetaCallBack = std::function<std::shared_ptr<qv::mediacore::IMeta>(const std::string&)>;
using BoundDisplayCardsQueryCallback =
    std::function<std::vector<STDisplayCardId>(uint64_t mediaId, EditingMode mode)>;
using DisplayCardsQueryCallback = std::function<std::vector<STDisplayCardInfo>()>;
using DeviceQueryCallback = std::function<void*(const STDisplayCardId&)>;

class TARN_VIDEOECHO_API IVideoEchoMgr {
public:
    host::Signal<const VideoEchoAddr&> echoAddrChanged;
    host::Signal<bool> readyChanged;
    host::Signal<const VideoEchoSpliceStrategy&> spliceStrategyChanged;

    IVideoEchoMgr();
    virtual ~IVideoEchoMgr();
    IVideoEchoMgr(const IVideoEchoMgr&) = delete;
    IVideoEchoMgr& operator=(const IVideoEchoMgr&) = delete;

    virtual void addDispatch(std::weak_ptr<IDispatch> dispatch) = 0;
    virtual void removeDispatch() = 0;
    virtual void setMediaMgr(vantor::IMediaMgr* mediaMgr) = 0;
    virtual void addEcho(const VideoEchoAddr& addr) = 0;
    virtual void addEcho(const STDisplayCardId& cardId, void* device) = 0;
    virtual void setSplicingRegionsCallBack(const SplicingRegionsCallBack& cb) = 0;
    virtual void setVideoEchoSourceCallBack(const VideoEchoSourceCallBack& cb) = 0;
    virtual std::string getVideoEchoUrl(const STDisplayCardId& cardId) = 0;
    virtual void setVideoEchoId(const STDisplayCardId& cardId) = 0;
    virtual void setVideoEchoResolution(float width, float height) = 0;
    virtual void setVideoEchoTransmissionMode(bool mode) = 0;
    virtual void setVideoEchoFPS(float fps) = 0;
    virtual void setVideoEchoBitRate(float bitRate) = 0;
    virtual void setVideoEchoServerEnabled(bool enabled) = 0;
    virtual void updateFrameData(const MediaInfo& info, const qv::mediacore::IFrame* frame) = 0;
    virtual void setCreateMetaCallBack(const CreateMetaCallBack& cb) = 0;
    virtual void setBoundDisplayCardsQueryCallback(const BoundDisplayCardsQueryCallback& cb) = 0;
    virtual void setDisplayCardsQueryCallback(const DisplayCardsQueryCallback& cb) = 0;
    virtual void setDeviceQueryCallback(const DeviceQueryCallback& cb) = 0;
    virtual void AddMedia(const VideoEchoAddr& addr) = 0;
    virtual std::vector<VideoEchoAddr> getLocalAllVideoEchoAddr() = 0;
    virtual std::vector<VideoEchoAddr> getAllVideoEchoAddr() = 0;
    virtual void setVideoEchoAddr(const VideoEchoAddr& addr) = 0;
    virtual void updateSpliceStrategy(const VideoEchoSpliceStrategy& strategy) = 0;
    virtual bool startVideoEchoServer() = 0;
    virtual bool stopVideoEchoServer() = 0;
    virtual bool createRecordVideo(const STDisplayCardId& cardId) = 0;
    virtual void onDeviceReady(const STDisplayCardInfo& info) = 0;
    virtual void setEditingMode(EditingMode mode, bool flag) = 0;
    virtual void setVideoEchoSpliceStrategy(const VideoEchoSpliceStrategy& strategy) = 0;
    virtual std::vector<VideoEchoSpliceStrategy> getLocalEchoSpliceStrategies() = 0;
    virtual std::vector<VideoEchoSpliceStrategy> getAllEchoSpliceStrategies() = 0;
    virtual void setVideoEchoSpliceStrategies(
        const std::vector<VideoEchoSpliceStrategy>& strategies) = 0;
    virtual std::vector<EchoInfo> getAllEchoInfo() = 0;
};

}  // namespace tarn::mediadispatch
