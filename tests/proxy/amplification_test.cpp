// A main machine in its own process must not let a request's decoded form take more than a small
// multiple of the request: counts of records that would break the bound are refused before they
// are allocated, surplus arguments cost nothing, and a legitimate request close to the frame limit
// is still applied in full.
#include <gtest/gtest.h>

#include <iostream>

#include "childprocess.h"
#include "largerequest.h"
#include "procstatus.h"

namespace tarn::mediadispatch {
namespace {

using namespace std::chrono_literals;

// The main machine: prints its port, then answers every line on stdin with the number of
// strategies its manager has received.
int runMainMachine() {
    testing::InProcessMainMachine main;
    std::printf("port %u\n", static_cast<unsigned>(main.runtime.port()));
    for (std::string line; std::fflush(stdout) == 0 && std::getline(std::cin, line);) {
        std::printf("applied %zu\n", main.mgr->strategies.load());
    }
    return 0;
}

// Request 2: [name, argument] with `count` elements of one byte each appended to the array `head`
// opens.
std::string padded(msgpack::sbuffer& head, std::size_t count, char element) {
    return host::rpc::encodeFrame(
        2, host::rpc::RequestType::kRequestResponse,
        std::string(head.data(), head.size()) + std::string(count, element));
}

TEST(Amplification, PeakMemoryOfTheServerStaysWithinABoundOfTheBody) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer allocators keep freed memory and add shadow memory";
#endif
    // ["UpdateSpliceStrategies", [[], [], ...]]: one byte per record, 160x once decoded.
    msgpack::sbuffer empties;
    msgpack::packer<msgpack::sbuffer>(empties).pack_array(2).pack("UpdateSpliceStrategies");
    msgpack::packer<msgpack::sbuffer>(empties).pack_array(9'499'970);
    // ["UpdateSpliceStrategy", strategy, 0, 0, ...]: a million surplus arguments.
    msgpack::sbuffer surplus;
    msgpack::packer<msgpack::sbuffer>(surplus).pack_array(1'000'002).pack("UpdateSpliceStrategy");
    msgpack::packer<msgpack::sbuffer>(surplus).pack(testing::sampleStrategy("card-1"));
    // ["UpdateSpliceStrategies", [strategies]] of 9 MB, close to the frame limit.
    std::size_t strategies = 0;
    const auto legitimate = testing::unmatchedStrategiesFrame(2, 9'000'000, &strategies);
    const struct {
        const char* name;
        std::string frame;
        std::string reply;
        std::size_t applied;
    } cases[] = {
        {"9.5 MB of empty records", padded(empties, 9'499'970, '\x90'),
         rpctest::bytes({0x92, 0x01, 0xbe}) + "unpack failed: Args not match!", 0},
        {"1 M surplus arguments", padded(surplus, 1'000'000, '\x00'), rpctest::bytes({0x91, 0x00}),
         1},
        {"9 MB of strategies", legitimate, rpctest::bytes({0x91, 0x00}), strategies},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t body = c.frame.size() - host::rpc::kHeaderSize;
        ASSERT_LT(body, host::rpc::kMaxBodyLen);
        testsupport::ChildProcess server(runMainMachine);
        const auto port = server.waitFor("port ");
        ASSERT_FALSE(port.empty());
        asio::io_context io;
        auto socket =
            rpctest::connectRaw(io, static_cast<std::uint16_t>(std::stoi(port.substr(5))));
        // A small call first, so that what the connection itself costs is in the baseline.
        rpctest::writeAll(socket, testing::addCardFrame(1, "card-1"));
        ASSERT_TRUE(rpctest::readFrame(socket, 5s));
        const std::size_t before = testsupport::statusBytes(server.pid(), "VmHWM");

        rpctest::writeAll(socket, c.frame);
        const auto reply = rpctest::readFrame(socket, 30s);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->header.reqId, 2u);
        EXPECT_EQ(reply->body, c.reply);
        EXPECT_EQ(server.ask("count", "applied "), "applied " + std::to_string(c.applied));
        const std::size_t peak = testsupport::statusBytes(server.pid(), "VmHWM");
        const std::size_t growth = peak > before ? peak - before : 0;
        std::printf("%s: body %zu bytes, peak memory +%zu KiB (%.1fx the body)\n", c.name, body,
                    growth / 1024, static_cast<double>(growth) / body);
        EXPECT_LE(growth, 32 * body + (24u << 20));
    }
}

}  // namespace
}  // namespace tarn::mediadispatch
