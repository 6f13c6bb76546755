// The main machine's multi-machine proxy: serves the six echo methods of the runtime (applies what
// other machines send to the local manager and republishes the received bytes) and publishes the
// manager's new addresses and splice strategies. Owned by the host; copies share one state. The
// setters may be called from any thread; handlers run on the runtime's threads, record slots on the
// thread that makes the manager emit.
#pragma once

#include <memory>

#include <host/iqvruntime.h>
#include <tarnmediadispatchvideoecho/export.h>
#include <tarnmediadispatchvideoecho/ivideoechodisptachmultimachineproxy.h>

namespace tarn::mediadispatch {

class TARN_VIDEOECHO_API IVideoEchoDisptachMultimachineProxyServer
    : public IVideoEchoDisptachMultimachineProxy {
public:
    ~IVideoEchoDisptachMultimachineProxyServer() override;
    virtual void setRPCServer(vantor::IQVRuntime* runtime) = 0;
    virtual void unsetRPCServer() = 0;
};

class TARN_VIDEOECHO_API VideoEchoDisptachMultimachineProxyServer
    : public IVideoEchoDisptachMultimachineProxyServer {
public:
    VideoEchoDisptachMultimachineProxyServer();
    VideoEchoDisptachMultimachineProxyServer(const VideoEchoDisptachMultimachineProxyServer& other);
    VideoEchoDisptachMultimachineProxyServer& operator=(
        const VideoEchoDisptachMultimachineProxyServer& other);
    // Registered handlers and connected slots outlive the object harmlessly: they do nothing once
    // the last copy is gone.
    ~VideoEchoDisptachMultimachineProxyServer() override;

    void setVideoEchoMgr(std::shared_ptr<IVideoEchoMgr> mgr) override;
    void unsetVideoEchoMgr() override;
    void onReady(bool ready) override;

    // Registers "UpdateEchoAddrs", "UpdateSpliceStrategy", "UpdateSpliceStrategies",
    // "AddEchoAddr", "UpdateEchoInfo", "RequestEchoInfo", in that order. `runtime` is not owned.
    void setRPCServer(vantor::IQVRuntime* runtime) override;
    void unsetRPCServer() override;

private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace tarn::mediadispatch
