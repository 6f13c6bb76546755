// A main machine in its own process must not let a request's decoded form take more than a small
// multiple of the request: counts of records that would break the bound are refused before they
// are allocated, surplus arguments cost nothing, and a legitimate request close to the frame limit
// is still applied in full.
#include <string>

#include <gtest/gtest.h>

#include <host/rpc/wire.h>

#include "childprocess.h"
#include "mainmachineprocess.h"
#include "payloads.h"
#include "procstatus.h"
#include "rawpeer.h"

namespace tarn::mediadispatch {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kBoundFactor = 32;
constexpr std::size_t kFixedOverhead = 24u << 20;

// ["UpdateSpliceStrategies", [[], [], ...]]: one byte per record.
std::string emptyRecordsRequest(std::size_t bodyTarget) {
    std::string body;
    msgpack::sbuffer head;
    msgpack::packer<msgpack::sbuffer> packer(head);
    packer.pack_array(2);
    packer.pack(std::string("UpdateSpliceStrategies"));
    const std::size_t count = bodyTarget - head.size() - 5;
    packer.pack_array(static_cast<std::uint32_t>(count));
    body.assign(head.data(), head.size());
    body.append(count, '\x90');
    return body;
}

// ["UpdateSpliceStrategy", strategy, 0, 0, ...]: a million surplus arguments.
std::string surplusArgumentsRequest(std::size_t surplus) {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_array(static_cast<std::uint32_t>(2 + surplus));
    packer.pack(std::string("UpdateSpliceStrategy"));
    packer.pack(testing::sampleStrategy("card-1"));
    std::string body(buffer.data(), buffer.size());
    body.append(surplus, '\x00');
    return body;
}

// ["UpdateSpliceStrategies", [10,000 complete strategies of about 1 KiB each]].
std::string legitimateRequest(std::size_t strategies) {
    std::vector<VideoEchoSpliceStrategy> list;
    for (std::size_t i = 0; i < strategies; ++i) {
        auto strategy = testing::sampleStrategy("display-card-device-" + std::to_string(i));
        strategy.addr.url =
            "rtsp://192.168.10.20:8554/" + std::string(150, 'v') + std::to_string(i);
        strategy.addr.cardId.extra = std::string(200, 'e');
        for (int r = 0; r < 20; ++r) {
            strategy.regions.push_back(
                SpliceRegion{1000u + i, 5000u + r, RegionRect{0.5F, 1.5F, 640.25F, 360.75F}});
        }
        list.push_back(std::move(strategy));
    }
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_array(2);
    packer.pack(std::string("UpdateSpliceStrategies"));
    packer.pack(list);
    return std::string(buffer.data(), buffer.size());
}

struct Case {
    const char* name;
    std::string body;
    std::string reply;
    std::uint64_t applied;  // strategies the manager must have received
};

TEST(Amplification, PeakMemoryOfTheServerStaysWithinABoundOfTheBody) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer allocators keep freed memory and add shadow memory";
#endif
    const std::string ok = host::rpc::encodeOkReply();
    const std::string refused = host::rpc::encodeFailReply(host::rpc::kArgsNotMatch);
    std::vector<Case> cases;
    cases.push_back({"9.5 MB of empty records", emptyRecordsRequest(9'500'000), refused, 0});
    cases.push_back({"1 M surplus arguments", surplusArgumentsRequest(1'000'000), ok, 1});
    cases.push_back({"10,000 complete strategies", legitimateRequest(10'000), ok, 10'000});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_LT(c.body.size(), host::rpc::kMaxBodyLen);
        testsupport::ChildProcess server([] { return testing::runMainMachine(); });
        const auto port = server.waitFor("port ");
        ASSERT_FALSE(port.empty());
        asio::io_context io;
        auto socket =
            rpctest::connectRaw(io, static_cast<std::uint16_t>(std::stoi(port.substr(5))));
        // A small call first, so that what the connection itself costs is in the baseline.
        const std::string ping = "\x91\xa4ping";
        rpctest::writeAll(
            socket, host::rpc::encodeFrame(1, host::rpc::RequestType::kRequestResponse, ping));
        ASSERT_TRUE(rpctest::readFrame(socket, 5s));
        const bool reset = testsupport::resetPeak(server.pid());
        const std::size_t before =
            testsupport::statusBytes(server.pid(), reset ? "VmRSS" : "VmHWM");

        rpctest::writeAll(
            socket, host::rpc::encodeFrame(2, host::rpc::RequestType::kRequestResponse, c.body));
        const auto reply = rpctest::readFrame(socket, 30s);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->header.reqId, 2u);
        EXPECT_EQ(reply->body, c.reply);
        if (c.applied > 0) {
            EXPECT_EQ(server.waitFor("applied " + std::to_string(c.applied), 5s),
                      "applied " + std::to_string(c.applied));
        }
        const std::size_t peak = testsupport::statusBytes(server.pid(), "VmHWM");
        const std::size_t growth = peak > before ? peak - before : 0;
        RecordProperty(std::string(c.name), std::to_string(growth));
        std::printf("%s: body %zu bytes, peak memory +%zu KiB (%.1fx the body)\n", c.name,
                    c.body.size(), growth / 1024, static_cast<double>(growth) / c.body.size());
        EXPECT_LE(growth, kBoundFactor * c.body.size() + kFixedOverhead);
    }
}

}  // namespace
}  // namespace tarn::mediadispatch
