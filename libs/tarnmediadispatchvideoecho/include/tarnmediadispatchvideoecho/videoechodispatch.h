// VideoEchoDispatch: the echo library's dispatch plug-in. It forwards the host's frames (on the
// calling thread), editing-mode changes (through the runtime's task queue) and media manager to the
// echo manager, which it holds by weak reference and never keeps alive. Owned by the host; every
// operation may be called from any thread.
#pragma once

#include <memory>

#include <host/iqvruntime.h>
#include <tarnmediadispatchvideoecho/export.h>
#include <tarnmediadispatchvideoecho/ivideoechodispatch.h>

namespace tarn::mediadispatch {

class TARN_VIDEOECHO_API VideoEchoDispatch : public IVideoEchoDispatch {
public:
    VideoEchoDispatch();
    ~VideoEchoDispatch() override;

    // Not owned; the host keeps the runtime alive while tasks may still be posted.
    void setQVRuntime(vantor::IQVRuntime* runtime);

    void setMediaMgr(vantor::IMediaMgr* mediaMgr) override;
    void setEditingMode(EditingMode mode, bool flag) override;
    void setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr> mgr) override;
    void updateFrameData(const MediaInfo& info, const qv::mediacore::IFrame* frame) override;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace tarn::mediadispatch
