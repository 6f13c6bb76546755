// The host's in-process stand-ins that the library's tests stand on: the media manager, the
// runtime's task queue and machine network.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <host/imediamgr.h>
#include <host/inprocessruntime.h>

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
    std::vector<std::pair<int, std::thread::id>> ran;
    std::vector<std::pair<int, std::thread::id>> expected;
    runtime.postTask([] { throw std::runtime_error("boom"); }, __FILE__, __LINE__, "test");
    for (int i = 0; i < 50; ++i) {
        runtime.postTask([&, i] { ran.emplace_back(i, std::this_thread::get_id()); }, __FILE__,
                         __LINE__, "test");
    }
    runtime.drainTasks();
    ASSERT_EQ(ran.size(), 50U);
    for (int i = 0; i < 50; ++i) {
        expected.emplace_back(i, ran[0].second);
    }
    EXPECT_EQ(ran, expected);
    EXPECT_NE(ran[0].second, std::this_thread::get_id());
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

}  // namespace
