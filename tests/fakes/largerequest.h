// Test and benchmark helper: a main machine in this process (RPC server runtime, proxy server and
// a real echo manager that also counts the strategies handed to it), the requests that register
// many cards, and a large request of strategies that match none of them. One thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <host/rpc/mainmachineruntime.h>
#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyserver.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "payloads.h"
#include "rawpeer.h"

namespace tarn::mediadispatch::testing {

class CountingVideoEchoMgr : public VideoEchoMgr {
public:
    void setVideoEchoSpliceStrategy(const VideoEchoSpliceStrategy& s) override {
        VideoEchoMgr::setVideoEchoSpliceStrategy(s);
        strategies += inList() ? 0 : 1;
    }
    void setVideoEchoSpliceStrategies(const std::vector<VideoEchoSpliceStrategy>& v) override {
        inList() = true;  // the list may be applied one strategy at a time
        VideoEchoMgr::setVideoEchoSpliceStrategies(v);
        inList() = false;
        strategies += v.size();
    }
    std::atomic<std::size_t> strategies{0};

private:
    static bool& inList() {
        thread_local bool flag = false;
        return flag;
    }
};

struct InProcessMainMachine {
    host::rpc::MainMachineRuntime runtime;
    std::shared_ptr<CountingVideoEchoMgr> mgr = std::make_shared<CountingVideoEchoMgr>();
    VideoEchoDisptachMultimachineProxyServer proxy;

    InProcessMainMachine() {
        proxy.setRPCServer(&runtime);
        proxy.setVideoEchoMgr(mgr);
    }
    ~InProcessMainMachine() { proxy.unsetRPCServer(); }
};

// A request frame [method, argument] from the one-element argument array of the method table.
inline std::string requestFrame(std::uint64_t id, const std::string& method,
                                const msgpack::sbuffer& argument) {
    msgpack::sbuffer body;
    msgpack::packer<msgpack::sbuffer> packer(body);
    packer.pack_array(2);
    packer.pack(method);
    body.write(argument.data() + 1, argument.size() - 1);
    return host::rpc::encodeFrame(id, host::rpc::RequestType::kRequestResponse,
                                  std::string_view(body.data(), body.size()));
}

inline std::string addCardFrame(std::uint64_t id, const std::string& device) {
    return requestFrame(id, "AddEchoAddr", wire::encodeArgument(sampleAddr(device)));
}

// Registers `cards` cards through "AddEchoAddr" on `socket`, pipelined; false if a reply is
// missing or not [0].
inline bool registerCards(asio::ip::tcp::socket& socket, std::size_t cards) {
    std::string frames;
    for (std::size_t i = 0; i < cards; ++i) {
        frames += addCardFrame(i + 1, "card-" + std::to_string(i));
    }
    rpctest::writeAll(socket, frames);
    for (std::size_t i = 0; i < cards; ++i) {
        const auto reply = rpctest::readFrame(socket, std::chrono::seconds(30));
        if (!reply || reply->body != host::rpc::encodeOkReply()) {
            return false;
        }
    }
    return true;
}

// "UpdateSpliceStrategies" with strategies for cards that do not exist, about `bytes` long.
inline std::string unmatchedStrategiesFrame(std::uint64_t id, std::size_t bytes,
                                            std::size_t* count) {
    std::vector<VideoEchoSpliceStrategy> list;
    for (std::size_t encoded = 0; encoded < bytes;) {
        list.push_back(sampleStrategy("no-such-card-" + std::to_string(list.size())));
        encoded += wire::encodeRecord(list.back()).size();
    }
    *count = list.size();
    return requestFrame(id, "UpdateSpliceStrategies", wire::encodeArgument(list));
}

}  // namespace tarn::mediadispatch::testing
