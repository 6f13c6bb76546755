// The main machine's runtime and a node's runtime in two processes, joined over loopback.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include <host/rpc/mainmachineruntime.h>
#include <host/rpc/noderuntime.h>

#include "childprocess.h"

namespace {

using namespace std::chrono_literals;

const std::string kCallPayload("\x91\xa8strategy", 10);
const std::string kPublishedPayload(
    "\x91\xa4"
    "addr",
    6);

// Waits up to 8 s until `received` is set; what it holds then.
struct Mailbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::string received;  // guarded by mutex
    void put(const char* data, unsigned size) {
        std::lock_guard<std::mutex> lock(mutex);
        received.assign(data, size);
        arrived.notify_all();
    }
    std::string wait() {
        std::unique_lock<std::mutex> lock(mutex);
        arrived.wait_for(lock, 8s, [&] { return !received.empty(); });
        return received;
    }
};

// The node: reads the main machine's port from stdin, calls "UpdateSpliceStrategy" there and
// prints what the main machine then publishes under "AddEchoAddr".
int runNode() {
    unsigned port = 0;
    std::cin >> port;
    host::rpc::NodeRuntime node("127.0.0.1", static_cast<std::uint16_t>(port));
    Mailbox box;
    node.registerHandler(
        "AddEchoAddr", [&](const char*, const char* data, unsigned size) { box.put(data, size); });
    std::printf("connected %d\n", node.waitConnected(5000ms) ? 1 : 0);
    std::fflush(stdout);
    node.publish("UpdateSpliceStrategy", kCallPayload.data(),
                 static_cast<unsigned>(kCallPayload.size()));
    std::printf("published %s\n", box.wait() == kPublishedPayload ? "right" : "wrong");
    return 0;
}

TEST(NetworkRuntimeAcrossProcesses, MainAndNodeExchangeACallAndAPublication) {
    // Forked before any thread exists in this process.
    testsupport::ChildProcess node(runNode);
    host::rpc::MainMachineRuntime main;
    Mailbox box;
    main.registerHandler("UpdateSpliceStrategy", [&](const char*, const char* data, unsigned size) {
        box.put(data, size);
    });
    ASSERT_TRUE(node.send(std::to_string(main.port())));
    EXPECT_EQ(node.waitFor("connected "), "connected 1");
    EXPECT_EQ(box.wait(), kCallPayload);
    // The node subscribed before it called, on the same connection, so it is subscribed by now.
    main.publish("AddEchoAddr", kPublishedPayload.data(),
                 static_cast<unsigned>(kPublishedPayload.size()));
    EXPECT_EQ(node.waitFor("published "), "published right");
    EXPECT_EQ(node.wait(), 0);
}

}  // namespace
