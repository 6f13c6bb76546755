// An RPC server on 127.0.0.1 that records the calls of the four echo methods (name and the
// encoded argument array) and answers them as void methods, with a client connected to it.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <host/irpcclient.h>
#include <host/rpc/rpcserver.h>

namespace tarn::mediadispatch::testing {

class RecordingRpcServer {
public:
    struct Call {
        std::string name;
        std::string args;  // the call's arguments as one msgpack array
    };

    RecordingRpcServer() {
        for (const char* name :
             {"AddEchoAddr", "UpdateEchoAddrs", "UpdateSpliceStrategy", "UpdateSpliceStrategies"}) {
            server_.registerRaw(name, [this, name](const char* args, std::size_t size) {
                std::lock_guard<std::mutex> lock(mutex_);
                calls_.push_back({name, std::string(args, size)});
                return std::string();
            });
        }
        client = std::make_shared<multimachine::TcpRPCClient>("127.0.0.1", server_.port());
        connected = client->waitConnected(std::chrono::milliseconds(5000));
    }

    std::vector<Call> calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

    std::shared_ptr<multimachine::TcpRPCClient> client;
    bool connected = false;

private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;  // guarded by mutex_
    host::rpc::RpcServer server_;
};

}  // namespace tarn::mediadispatch::testing
