// The host's RPC client handle: owns one RPC client together with its connection, io_context and
// I/O thread. Handed out as std::shared_ptr by IRPCClient::getClient(); thread-safe like the client
// it owns (see <host/rpc/rpcclient.h>).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <host/rpc/rpcclient.h>

namespace tarn::multimachine {

class RPCClientAssist {
public:
    // Creates the client; nothing is connected until connect() or asyncConnect().
    RPCClientAssist(std::string host, std::uint16_t port, host::rpc::ClientOptions options = {});
    ~RPCClientAssist();
    RPCClientAssist(const RPCClientAssist&) = delete;
    RPCClientAssist& operator=(const RPCClientAssist&) = delete;

    host::rpc::RpcClient& client() { return *client_; }
    const host::rpc::RpcClient& client() const { return *client_; }

    bool connect(std::chrono::milliseconds timeout) { return client_->connect(timeout); }
    void asyncConnect() { client_->asyncConnect(); }

private:
    std::unique_ptr<host::rpc::RpcClient> client_;
};

}  // namespace tarn::multimachine
