// A node's multi-machine proxy: receives the addresses and splice strategies that the main
// machine's proxy server publishes and hands them to the local manager; it sends nothing. Owned by
// the host; copies share one state. The setters may be called from any thread; handlers run on the
// runtime's delivery thread.
#pragma once

#include <memory>

#include <host/iqvruntime.h>
#include <tarnmediadispatchvideoecho/export.h>
#include <tarnmediadispatchvideoecho/ivideoechodisptachmultimachineproxy.h>

namespace tarn::mediadispatch {

class TARN_VIDEOECHO_API IVideoEchoDisptachMultimachineProxyClient
    : public IVideoEchoDisptachMultimachineProxy {
public:
    ~IVideoEchoDisptachMultimachineProxyClient() override;
    virtual void setRPCClient(vantor::IQVRuntime* runtime) = 0;
    virtual void unsetRPCClient() = 0;
};

class TARN_VIDEOECHO_API VideoEchoDisptachMultimachineProxyClient
    : public IVideoEchoDisptachMultimachineProxyClient {
public:
    VideoEchoDisptachMultimachineProxyClient();
    VideoEchoDisptachMultimachineProxyClient(const VideoEchoDisptachMultimachineProxyClient& other);
    VideoEchoDisptachMultimachineProxyClient& operator=(
        const VideoEchoDisptachMultimachineProxyClient& other);
    // Registered handlers outlive the object harmlessly: they do nothing once the last copy is
    // gone.
    ~VideoEchoDisptachMultimachineProxyClient() override;

    void setVideoEchoMgr(std::shared_ptr<IVideoEchoMgr> mgr) override;
    void unsetVideoEchoMgr() override;
    void onReady(bool ready) override;

    // Registers "AddEchoAddr", "UpdateSpliceStrategy", "UpdateEchoAddrs",
    // "UpdateSpliceStrategies", in that order. `runtime` is not owned.
    void setRPCClient(vantor::IQVRuntime* runtime) override;
    void unsetRPCClient() override;

private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace tarn::mediadispatch
