// The host's RPC client as the library sees it: getClient() hands out the client handle for one
// remote call. TcpRPCClient is the host's implementation: one handle connected to host:port, kept
// connected (it reconnects on its own). Owned by the host, shared as std::shared_ptr; getClient()
// may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <host/rpcclientassist.h>

namespace tarn::multimachine {

class IRPCClient {
public:
    virtual ~IRPCClient() = default;
    virtual std::shared_ptr<RPCClientAssist> getClient() = 0;
};

class TcpRPCClient : public IRPCClient {
public:
    // Starts connecting at once; `options.reconnectInterval` 0 is replaced by the default interval.
    TcpRPCClient(std::string host, std::uint16_t port, host::rpc::ClientOptions options = {});
    ~TcpRPCClient() override;

    std::shared_ptr<RPCClientAssist> getClient() override;
    // Waits until the handle is connected, at most `timeout`.
    bool waitConnected(std::chrono::milliseconds timeout);

private:
    std::shared_ptr<RPCClientAssist> assist_;
};

}  // namespace tarn::multimachine
