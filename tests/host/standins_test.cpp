// The host's in-process stand-ins that the library's tests stand on: the media manager, the
// runtime's task queue and machine network, the link bus, and the echo server's strategy signal.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <host/ilinkmgr.h>
#include <host/imediamgr.h>
#include <host/inprocessruntime.h>
#include <host/videoecho.h>

namespace {

using vantor::kEditingModeLive;
using vantor::kEditingModePreview;

TEST(MediaMgrStandIn, KeepsOneResourcePerIdAndMode) {
    vantor::MediaMgr mgr;
    auto media = std::make_shared<vantor::mediadispatch::Media>(
        5, std::weak_ptr<qv::mediacore::IMeta>(), kEditingModeLive, false);
    EXPECT_TRUE(mgr.addMediaResource(media));
    EXPECT_FALSE(mgr.addMediaResource(media));
    EXPECT_FALSE(mgr.addMediaResource(nullptr));
    EXPECT_EQ(mgr.find(5, kEditingModePreview), nullptr);
    EXPECT_FALSE(mgr.removeMediaResource(5, kEditingModePreview));
    EXPECT_TRUE(mgr.removeMediaResource(5, kEditingModeLive));
    EXPECT_EQ(mgr.size(), 0U);
}

TEST(RuntimeStandIn, TasksRunInOrderOnOneOtherThreadPastAThrowingOne) {
    host::InProcessRuntime runtime;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    runtime.postTask([] { throw std::runtime_error("boom"); }, __FILE__, __LINE__, "test");
    for (int i = 0; i < 50; ++i) {
        runtime.postTask(
            [&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            },
            __FILE__, __LINE__, "test");
    }
    runtime.drainTasks();
    ASSERT_EQ(order.size(), 50U);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(order[size_t(i)], i);
        EXPECT_EQ(threads[size_t(i)], threads[0]);
    }
    EXPECT_NE(threads[0], std::this_thread::get_id());
}

TEST(RuntimeStandIn, NodesCallTheMainMachineWhichPublishesToLiveNodes) {
    using host::InProcessRuntime;
    auto network = std::make_shared<host::InProcessNetwork>();
    InProcessRuntime main(network, InProcessRuntime::Role::Main);
    InProcessRuntime node(network, InProcessRuntime::Role::Node);
    std::vector<std::string> got;
    const auto record = [&](const char*, const char* data, unsigned size) {
        got.emplace_back(data, size);
    };
    main.registerHandler("AddEchoAddr", record);
    main.registerHandler("Throws", [](const char*, const char*, unsigned) {
        throw std::invalid_argument("unpack failed: Args not match!");
    });
    EXPECT_EQ(node.call("AddEchoAddr", std::string("\x91\x01", 2)), "");
    EXPECT_EQ(node.call("Nope", ""), "unknown function: Nope");
    EXPECT_EQ(node.call("Throws", ""), "unpack failed: Args not match!");
    node.registerHandler("K", record);
    {
        InProcessRuntime leaving(network, InProcessRuntime::Role::Node);
        leaving.registerHandler("K", record);
        main.publish("K", "a", 1);
    }
    main.publish("K", "b", 1);
    node.publish("K", "x", 1);  // nodes do not publish
    EXPECT_EQ(got, (std::vector<std::string>{std::string("\x91\x01", 2), "a", "a", "b"}));
}

TEST(LinkStandIn, PublishReachesOtherMachinesSubscribersUntilTheyUnsubscribe) {
    using vantor::link::InProcessLinkMgr;
    auto bus = std::make_shared<vantor::link::InProcessLinkBus>();
    InProcessLinkMgr a(bus, "a"), b(bus, "b"), c(bus, "c");
    std::vector<std::string> got;
    const auto record = [&](std::string payload, std::string) { got.push_back(payload); };
    a.subscribe("42AddEchoAddr", record);
    const auto id = b.subscribe("42AddEchoAddr", record);
    c.subscribe("42UpdateEchoAddrs", record);
    vantor::link::LinkMessage one{"42AddEchoAddr", "one", true, {}, 0};
    vantor::link::LinkMessage two{"42AddEchoAddr", "two", true, {}, 0};
    a.publish(one);
    b.unsubscribe(id);
    a.publish(two);
    EXPECT_EQ(got, std::vector<std::string>{"one"});
    c.subscribe("k", [](std::string, std::string) { throw std::invalid_argument("bad"); });
    EXPECT_THROW(c.deliver("k", "p"), std::invalid_argument);
}

TEST(VideoEchoStandIn, StrategySignalFiresOnlyWhenTheRegionsChange) {
    using namespace tarn::mediadispatch;
    const VideoEchoAddr addr{{"node-a", 3, "GPU-0", ""}, ""};
    VideoEcho echo(addr, "video1", nullptr, 1, true);
    int changes = 0;
    echo.spliceStrategyChanged.connect([&](const VideoEchoSpliceStrategy&) { ++changes; });
    echo.updateSpliceStrategy(1, 42, kEditingModeLive, true);
    echo.updateSpliceStrategy(1, 42, kEditingModeLive, true);
    EXPECT_FALSE(echo.isEmptyOnSpliceSource(kEditingModeLive));
    const VideoEchoSpliceStrategy strategy{addr, {{1, 7, {0, 0, 10, 10}}}};
    echo.synchronizeSpliceStrategy(strategy);
    echo.synchronizeSpliceStrategy(strategy);
    echo.updateSpliceStrategy(1, 7, kEditingModeLive, false);
    EXPECT_EQ(changes, 3);
    EXPECT_TRUE(echo.isEmptyOnSpliceSource(kEditingModeLive));
}

}  // namespace
