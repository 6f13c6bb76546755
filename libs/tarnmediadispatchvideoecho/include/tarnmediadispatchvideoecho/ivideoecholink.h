// The interface of the inter-node link objects (VideoEchoLink and its server and client sides):
// each is handed the host's link manager, the multi-machine RPC client and the echo manager, which
// it only observes. The host calls the setters during setup, from one thread.
#pragma once

#include <memory>

#include <host/ilinkmgr.h>
#include <tarnmediadispatchvideoecho/export.h>
#include <tarnmediadispatchvideoecho/ivideoechomgr.h>

namespace tarn::multimachine {
class IRPCClient;
}

namespace tarn::mediadispatch {

using tarn::multimachine::IRPCClient;
using vantor::link::ILinkMgr;

class TARN_VIDEOECHO_API IVideoEchoLink {
public:
    virtual ~IVideoEchoLink();
    virtual void setLinkMgr(std::weak_ptr<ILinkMgr> linkMgr) = 0;
    virtual void setRPCClient(std::weak_ptr<IRPCClient> rpcClient) = 0;
    virtual void setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr> videoEchoMgr) = 0;
};

}  // namespace tarn::mediadispatch
