#include <host/irpcclient.h>
#include <host/rpcclientassist.h>

#include <thread>

namespace tarn::multimachine {

RPCClientAssist::RPCClientAssist(std::string host, std::uint16_t port,
                                 host::rpc::ClientOptions options)
    : client_(std::make_unique<host::rpc::RpcClient>(std::move(host), port, options)) {}

RPCClientAssist::~RPCClientAssist() = default;

namespace {

host::rpc::ClientOptions withReconnect(host::rpc::ClientOptions options) {
    if (options.reconnectInterval.count() <= 0) {
        options.reconnectInterval = std::chrono::milliseconds(500);
    }
    return options;
}

}  // namespace

TcpRPCClient::TcpRPCClient(std::string host, std::uint16_t port, host::rpc::ClientOptions options)
    : assist_(std::make_shared<RPCClientAssist>(std::move(host), port, withReconnect(options))) {
    assist_->asyncConnect();
}

TcpRPCClient::~TcpRPCClient() = default;

std::shared_ptr<RPCClientAssist> TcpRPCClient::getClient() {
    return assist_;
}

bool TcpRPCClient::waitConnected(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!assist_->client().has_connected()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace tarn::multimachine
