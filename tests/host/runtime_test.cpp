// The in-process runtime: ordered tasks on one thread of its own, calls to the main machine,
// publications to the nodes.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <host/inprocessruntime.h>

namespace host {
namespace {

TEST(InProcessRuntime, PostedTasksRunInOrderOnOneOtherThread) {
    InProcessRuntime runtime;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    for (int i = 0; i < 100; ++i) {
        std::function<void()> task = [&, i] {
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
        };
        runtime.postTask(task, __FILE__, __LINE__, "test");
    }  // the caller's function objects are gone before the tasks run
    runtime.drainTasks();
    ASSERT_EQ(order.size(), 100U);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[static_cast<size_t>(i)], i);
        EXPECT_EQ(threads[static_cast<size_t>(i)], threads[0]);
    }
    EXPECT_NE(threads[0], std::this_thread::get_id());
}

TEST(InProcessRuntime, AThrowingTaskDoesNotStopTheQueue) {
    InProcessRuntime runtime;
    std::atomic<int> ran{0};
    runtime.postTask([] { throw std::runtime_error("boom"); }, __FILE__, __LINE__, "test");
    runtime.postTask([&] { ++ran; }, __FILE__, __LINE__, "test");
    runtime.drainTasks();
    EXPECT_EQ(ran.load(), 1);
}

TEST(InProcessRuntime, NodeCallsReachTheMainMachinesHandler) {
    auto network = std::make_shared<InProcessNetwork>();
    InProcessRuntime main(network, InProcessRuntime::Role::Main);
    InProcessRuntime node(network, InProcessRuntime::Role::Node);
    std::string received;
    main.registerHandler("AddEchoAddr", [&](const char*, const char* data, unsigned size) {
        received.assign(data, size);
    });
    EXPECT_EQ(node.call("AddEchoAddr", std::string("\x91\x01", 2)), "");
    EXPECT_EQ(received, std::string("\x91\x01", 2));
    EXPECT_EQ(node.call("Nope", ""), "unknown function: Nope");

    main.registerHandler("Throws", [](const char*, const char*, unsigned) {
        throw std::invalid_argument("unpack failed: Args not match!");
    });
    EXPECT_EQ(node.call("Throws", ""), "unpack failed: Args not match!");
    main.unregisterHandler("AddEchoAddr");
    EXPECT_FALSE(main.hasHandler("AddEchoAddr"));
}

TEST(InProcessRuntime, MainPublicationsReachEveryNodeButNodesDoNotPublish) {
    auto network = std::make_shared<InProcessNetwork>();
    InProcessRuntime main(network, InProcessRuntime::Role::Main);
    InProcessRuntime nodeA(network, InProcessRuntime::Role::Node);
    InProcessRuntime nodeB(network, InProcessRuntime::Role::Node);
    std::vector<std::string> got;
    auto record = [&](const char*, const char* data, unsigned size) {
        got.emplace_back(data, size);
    };
    nodeA.registerHandler("UpdateSpliceStrategy", record);
    nodeB.registerHandler("UpdateSpliceStrategy", record);
    main.registerHandler("UpdateSpliceStrategy", record);

    main.publish("UpdateSpliceStrategy", "abc", 3);
    EXPECT_EQ(got, (std::vector<std::string>{"abc", "abc"}));
    nodeA.publish("UpdateSpliceStrategy", "x", 1);
    EXPECT_EQ(got.size(), 2U);
    ASSERT_EQ(main.publications().size(), 1U);
    EXPECT_EQ(main.publications()[0].payload, "abc");
}

TEST(InProcessRuntime, ANodeThatLeftIsNoLongerCalled) {
    auto network = std::make_shared<InProcessNetwork>();
    InProcessRuntime main(network, InProcessRuntime::Role::Main);
    int calls = 0;
    {
        InProcessRuntime node(network, InProcessRuntime::Role::Node);
        node.registerHandler("K", [&](const char*, const char*, unsigned) { ++calls; });
        main.publish("K", "", 0);
    }
    main.publish("K", "", 0);
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace host
