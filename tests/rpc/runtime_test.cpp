// The networked runtimes joined over loopback: a node's call reaches the main machine's handler
// and its exception goes back, the main machine's publications reach every node's handler (one
// that throws is logged and deliveries go on), and tasks run in order on the task thread.
#include <gtest/gtest.h>

#include <numeric>
#include <set>

#include <host/rpc/mainmachineruntime.h>
#include <host/rpc/noderuntime.h>

#include "logcapture.h"
#include "rawpeer.h"

namespace {

using namespace rpctest;

// Keeps what a handler receives as "name|payload"; thread-safe.
struct Inbox {
    std::mutex mutex;
    std::vector<std::string> items;  // guarded by mutex
    vantor::RPCHandler handler() {
        return [this](const char* name, const char* data, unsigned size) {
            std::lock_guard<std::mutex> lock(mutex);
            items.push_back(std::string(name) + "|" + std::string(data, size));
        };
    }
    std::vector<std::string> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return items;
    }
    std::size_t size() { return all().size(); }
};

TEST(NetworkRuntime, CallsPublicationsAndTasks) {
    host::rpc::MainMachineRuntime main;
    Inbox onMain;
    main.registerHandler("AddEchoAddr", onMain.handler());
    main.registerHandler("UpdateSpliceStrategy", [](const char*, const char*, unsigned) {
        throw std::invalid_argument("unpack failed: Args not match!");
    });
    host::rpc::NodeRuntime first("127.0.0.1", main.port());
    host::rpc::NodeRuntime second("127.0.0.1", main.port());
    Inbox onFirst;
    Inbox onSecond;
    first.registerHandler("UpdateEchoAddrs", onFirst.handler());
    std::atomic<int> calls{0};
    second.registerHandler("UpdateEchoAddrs", [&](const char* name, const char* data, unsigned n) {
        if (calls++ == 0) {
            throw std::invalid_argument("unpack failed: Args not match!");
        }
        onSecond.handler()(name, data, n);
    });
    ASSERT_TRUE(first.waitConnected(3000ms));
    ASSERT_TRUE(second.waitConnected(3000ms));

    // A node's publication that is not an array is dropped; the next one is delivered.
    first.publish("AddEchoAddr", "\xa1x", 2);
    first.publish("AddEchoAddr",
                  "\x91\xa4"
                  "addr",
                  6);
    ASSERT_TRUE(eventually([&] { return onMain.size() == 1; }));
    EXPECT_EQ(onMain.all()[0], std::string("AddEchoAddr|\x91\xa4"
                                           "addr"));
    host::rpc::RpcClient client("127.0.0.1", main.port());
    ASSERT_TRUE(client.connect());
    EXPECT_THROW((client.call<2000, void>("UpdateSpliceStrategy", 1)), std::logic_error);

    // The payload travels unchanged even when it is not msgpack.
    testsupport::LogCapture log;
    const std::string payload("\xc1\x00 raw", 6);
    ASSERT_TRUE(eventually([&] {
        main.publish("UpdateEchoAddrs", payload.data(), static_cast<unsigned>(payload.size()));
        return onFirst.size() > 0 && onSecond.size() > 0;
    }));
    second.drain();
    EXPECT_EQ(onFirst.all()[0], "UpdateEchoAddrs|" + payload);
    EXPECT_EQ(onSecond.all()[0], "UpdateEchoAddrs|" + payload);
    EXPECT_EQ(
        log.startingWith("runtime handler UpdateEchoAddrs failed: unpack failed: Args not match!")
            .size(),
        1u);

    for (vantor::IQVRuntime* runtime :
         {static_cast<vantor::IQVRuntime*>(&main), static_cast<vantor::IQVRuntime*>(&first)}) {
        std::vector<int> order;  // written on the task thread only
        std::set<std::thread::id> threads;
        for (int i = 0; i < 100; ++i) {
            runtime->postTask(
                [&, i] {
                    order.push_back(i);
                    threads.insert(std::this_thread::get_id());
                },
                __FILE__, __LINE__, __func__);
        }
        runtime == &main ? main.drainTasks() : first.drain();
        std::vector<int> want(100);
        std::iota(want.begin(), want.end(), 0);
        EXPECT_EQ(order, want);
        EXPECT_EQ(threads.size(), 1u);
        EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    }
}

}  // namespace
