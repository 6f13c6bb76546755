// The host's in-process stand-ins that the library's tests stand on: the media manager, the
// runtime's task queue and machine network.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <host/imediamgr.h>
#include <host/inprocessruntime.h>

#include "logcapture.h"

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

// (Order and thread of the tasks: the networked runtimes' test, on the same task thread.)
TEST(RuntimeStandIn, ATaskThatThrowsIsLoggedAndTheNextOnesRun) {
    testsupport::LogCapture log;
    host::InProcessRuntime runtime;
    bool ran = false;
    runtime.postTask([] { throw std::runtime_error("boom"); }, __FILE__, __LINE__, "test");
    runtime.postTask([&] { ran = true; }, __FILE__, __LINE__, "test");
    runtime.drainTasks();
    EXPECT_TRUE(ran);
    EXPECT_EQ(log.startingWith("task failed: boom").size(), 1U);
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
