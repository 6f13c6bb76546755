// Makes one call through the installed RPC module and the library's RPC call helper: a main
// machine's runtime on an ephemeral loopback port serves it, a client handle connected there sends
// it.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include <host/irpcclient.h>
#include <host/rpc/mainmachineruntime.h>
#include <tarnmultimachineproxy/rpcclientassist.h>

int main() {
    host::rpc::MainMachineRuntime runtime;
    std::atomic<unsigned> received{0};
    runtime.registerHandler("ConsumerPing",
                            [&](const char*, const char*, unsigned size) { received = size; });
    tarn::multimachine::TcpRPCClient client("127.0.0.1", runtime.port());
    const bool connected = client.waitConnected(std::chrono::seconds(10));
    // The helper waits for the reply, so the handler has run once it returns.
    tarn::multimachine::call(client.getClient(), "ConsumerPing", std::string("ping"));
    // ["ping"]: a one-element array holding a four-byte string.
    const bool served = connected && received == 6;
    std::printf("consumer_rpc: the call %s\n", served ? "was served" : "was NOT served");
    return served ? 0 : 1;
}
