// The networked runtimes in one process, joined over loopback: calls from nodes reach the main
// machine's handlers, publications reach every node's handlers, tasks run in order.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include <host/rpc/mainmachineruntime.h>
#include <host/rpc/noderuntime.h>

#include "logcapture.h"
#include "rawpeer.h"

namespace {

using namespace rpctest;
using host::rpc::MainMachineRuntime;
using host::rpc::NodeRuntime;

std::string oneElementArray(const std::string& value) {
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, std::make_tuple(value));
    return std::string(buffer.data(), buffer.size());
}

// Collects deliveries of one handler; thread-safe.
class Inbox {
public:
    vantor::RPCHandler handler() {
        return [this](const char* text, const char* data, unsigned size) {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back(std::string(text) + "|" + std::string(data, size));
            arrived_.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 3000ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return arrived_.wait_for(lock, timeout, [&] { return items_.size() >= count; });
    }
    std::vector<std::string> items() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> items_;  // guarded by mutex_
};

TEST(NetworkRuntime, CallsReachTheMainHandlerAndItsExceptionGoesBack) {
    MainMachineRuntime main;
    Inbox inbox;
    main.registerHandler("AddEchoAddr", inbox.handler());
    main.registerHandler("UpdateSpliceStrategy", [](const char*, const char*, unsigned) {
        throw std::invalid_argument("unpack failed: Args not match!");
    });
    NodeRuntime node("127.0.0.1", main.port());
    ASSERT_TRUE(node.waitConnected(3000ms));
    const std::string payload = oneElementArray("addr");
    // A node's publication that is not an array is dropped; the next one on its connection is not.
    node.publish("AddEchoAddr", "\xa1x", 2);
    node.publish("AddEchoAddr", payload.data(), static_cast<unsigned>(payload.size()));
    // A direct client call with one argument delivers the same bytes.
    host::rpc::RpcClient client("127.0.0.1", main.port());
    ASSERT_TRUE(client.connect());
    client.call<2000, void>("AddEchoAddr", std::string("addr"));
    ASSERT_TRUE(inbox.waitFor(2));
    EXPECT_EQ(inbox.items(), std::vector<std::string>(2, "AddEchoAddr|" + payload));

    for (const char* expected :
         {"unpack failed: Args not match!", "unknown function: UpdateSpliceStrategy"}) {
        try {
            client.call<2000, void>("UpdateSpliceStrategy", 1);
            ADD_FAILURE() << "no exception";
        } catch (const std::logic_error& error) {
            EXPECT_STREQ(error.what(), expected);
        }
        main.unregisterHandler("UpdateSpliceStrategy");
    }
}

TEST(NetworkRuntime, MainPublicationReachesEveryNode) {
    MainMachineRuntime main;
    NodeRuntime first("127.0.0.1", main.port());
    NodeRuntime second("127.0.0.1", main.port());
    Inbox firstInbox;
    Inbox secondInbox;
    first.registerHandler("UpdateEchoAddrs", firstInbox.handler());
    second.registerHandler("UpdateEchoAddrs", secondInbox.handler());
    ASSERT_TRUE(first.waitConnected(3000ms));
    ASSERT_TRUE(second.waitConnected(3000ms));
    // The payload travels unchanged even when it is not msgpack.
    const std::string payload("\xc1\x00 raw", 6);
    ASSERT_TRUE(eventually([&] {
        main.publish("UpdateEchoAddrs", payload.data(), static_cast<unsigned>(payload.size()));
        return firstInbox.waitFor(1, 20ms) && secondInbox.waitFor(1, 20ms);
    }));
    EXPECT_EQ(firstInbox.items()[0], "UpdateEchoAddrs|" + payload);
    EXPECT_EQ(secondInbox.items()[0], "UpdateEchoAddrs|" + payload);

    // After unregistering, the second node no longer delivers: a marker published after the
    // final payload proves, by the order of frames on its connection, that the payload came first.
    Inbox barrier;
    second.registerHandler("Barrier", barrier.handler());
    second.unregisterHandler("UpdateEchoAddrs");
    const std::string last("last", 4);
    main.publish("UpdateEchoAddrs", last.data(), static_cast<unsigned>(last.size()));
    ASSERT_TRUE(eventually([&] {
        main.publish("Barrier", "", 0);
        return barrier.waitFor(1, 20ms);
    }));
    EXPECT_TRUE(eventually([&] { return firstInbox.items().back() == "UpdateEchoAddrs|last"; }));
    second.drain();
    for (const auto& item : secondInbox.items()) {
        EXPECT_NE(item, "UpdateEchoAddrs|last");
    }
}

TEST(NetworkRuntime, NodeHandlerExceptionIsLoggedAndDeliveriesGoOn) {
    MainMachineRuntime main;
    NodeRuntime node("127.0.0.1", main.port());
    Inbox inbox;
    std::atomic<int> calls{0};
    node.registerHandler("AddEchoAddr", [&](const char* text, const char* data, unsigned size) {
        if (calls++ == 0) {
            throw std::invalid_argument("unpack failed: Args not match!");
        }
        inbox.handler()(text, data, size);
    });
    ASSERT_TRUE(node.waitConnected(3000ms));
    testsupport::LogCapture log;
    const auto deadline = std::chrono::steady_clock::now() + 3000ms;
    while (calls.load() < 2 && std::chrono::steady_clock::now() < deadline) {
        main.publish("AddEchoAddr", "\x90", 1);
        std::this_thread::sleep_for(10ms);
    }
    node.drain();
    ASSERT_GE(calls.load(), 2);
    EXPECT_TRUE(inbox.waitFor(1));
    bool logged = false;
    for (const auto& line : log.lines()) {
        logged |= line.level == spdlog::level::err &&
                  line.text.find("unpack failed: Args not match!") != std::string::npos;
    }
    EXPECT_TRUE(logged);
}

TEST(NetworkRuntime, TasksRunInPostingOrderOnTheTaskThread) {
    MainMachineRuntime main;
    NodeRuntime node("127.0.0.1", deadPort());
    for (vantor::IQVRuntime* runtime :
         {static_cast<vantor::IQVRuntime*>(&main), static_cast<vantor::IQVRuntime*>(&node)}) {
        std::mutex mutex;
        std::vector<int> order;
        std::set<std::thread::id> threads;
        for (int i = 0; i < 100; ++i) {
            std::function<void()> task = [&, i] {
                std::lock_guard<std::mutex> lock(mutex);
                order.push_back(i);
                threads.insert(std::this_thread::get_id());
            };
            runtime->postTask(task, __FILE__, __LINE__, __func__);
        }
        if (runtime == &main) {
            main.drainTasks();
        } else {
            node.drain();
        }
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(order.size(), 100u);
        for (int i = 0; i < 100; ++i) {
            EXPECT_EQ(order[i], i);
        }
        EXPECT_EQ(threads.size(), 1u);
        EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    }
}

}  // namespace
