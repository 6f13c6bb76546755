// IVideoEchoDispatch: the dispatch plug-in interface of the echo library: a host dispatch that also
// takes the echo manager and the frames of the dispatched media. Owned by the host.
// Thread rules are those of the implementation (VideoEchoDispatch).
#pragma once

#include <memory>

#include <host/idispatch.h>
#include <host/iframe.h>
#include <tarnmediadispatchvideoecho/export.h>
#include <tarnmediadispatchvideoecho/ivideoechomgr.h>

namespace tarn::mediadispatch {

class TARN_VIDEOECHO_API IVideoEchoDispatch : public IDispatch {
public:
    IVideoEchoDispatch();
    ~IVideoEchoDispatch() override;

    virtual void setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr> mgr) = 0;  // 55
    virtual void updateFrameData(const MediaInfo& info,
                                 const qv::mediacore::IFrame* frame) = 0;  // 56
};

}  // namespace tarn::mediadispatch
