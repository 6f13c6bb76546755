// The host's in-process stand-ins that the library's tests stand on: the media manager and the
// runtime's task queue.
#include <stdexcept>

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

}  // namespace
