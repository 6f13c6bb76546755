// The interface shared by the two multi-machine proxies, which join the local echo manager to the
// host's multi-machine runtime: the proxy server on the main machine, a proxy client on every other
// machine. The host owns the proxies; see the concrete classes for threads.
#pragma once

#include <memory>

#include <tarnmediadispatchvideoecho/export.h>
#include <tarnmediadispatchvideoecho/ivideoechomgr.h>

namespace tarn::mediadispatch {

class TARN_VIDEOECHO_API IVideoEchoDisptachMultimachineProxy {
public:
    virtual ~IVideoEchoDisptachMultimachineProxy();
    virtual void setVideoEchoMgr(std::shared_ptr<IVideoEchoMgr> mgr) = 0;
    virtual void unsetVideoEchoMgr() = 0;
    virtual void onReady(bool ready) = 0;
};

}  // namespace tarn::mediadispatch
