// The RPC call helper: one synchronous, fire-and-check remote call through the host's RPC client
// handle. It never throws and returns nothing; every failure becomes an error line in the host's
// log. Holds no lock; may be called from any thread except the client's own I/O thread, and blocks
// the calling thread for up to the client's call time-out (5000 ms unless its owner set another).
#pragma once

#include <exception>
#include <memory>
#include <string>

#include <host/log.h>
#include <host/rpcclientassist.h>

namespace tarn::multimachine {

// Sends `name` with the one argument `arg` (a msgpack array [name, arg]) and waits up to the
// client's call time-out (host::rpc::ClientOptions::callTimeout, 5000 ms by default) for the reply,
// expecting no result value:
//   - client not connected: error "rpc client is not connected", nothing is sent;
//   - no reply in time, a failure reply, or a reply that does not decode: error
//     "rpc call error, name:<name>, error Info: <what>", where <what> is "timeout or deferred",
//     the peer's text, or "unpack failed: Args not match!". A late reply is dropped by the client.
// The msgpack adaptor of T must be visible where this is instantiated.
template <typename T>
void call(RPCClientAssist& assist, const std::string& name, const T& arg) {
    auto& client = assist.client();
    if (!client.has_connected()) {
        TARN_LOG_ERROR("rpc client is not connected");
        return;
    }
    try {
        client.callFor<void>(client.callTimeout(), name, arg);
    } catch (const std::exception& error) {
        TARN_LOG_ERROR("rpc call error, name:{}, error Info: {}", name, error.what());
    }
}

// The same through a shared handle; an empty handle counts as a client that is not connected.
template <typename T>
void call(const std::shared_ptr<RPCClientAssist>& assist, const std::string& name, const T& arg) {
    if (!assist) {
        TARN_LOG_ERROR("rpc client is not connected");
        return;
    }
    call(*assist, name, arg);
}

}  // namespace tarn::multimachine
