// The host's in-process media manager that the library's tests stand on. (The task thread that
// every runtime shares: the networked runtimes' test.)
#include <gtest/gtest.h>

#include <host/imediamgr.h>

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

}  // namespace
