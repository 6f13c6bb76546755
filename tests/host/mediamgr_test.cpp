// The host's media manager keeps one resource per (id, mode).
#include <gtest/gtest.h>

#include <host/imediamgr.h>

namespace vantor {
namespace {

TEST(MediaMgr, RegistersByIdAndModeAndRemoves) {
    MediaMgr mgr;
    auto media = std::make_shared<mediadispatch::Media>(5, std::weak_ptr<qv::mediacore::IMeta>(),
                                                        kEditingModeLive, false);
    EXPECT_TRUE(mgr.addMediaResource(media));
    EXPECT_FALSE(mgr.addMediaResource(media));
    EXPECT_FALSE(mgr.addMediaResource(nullptr));
    EXPECT_EQ(mgr.find(5, kEditingModeLive), media);
    EXPECT_EQ(mgr.find(5, kEditingModePreview), nullptr);
    EXPECT_FALSE(mgr.removeMediaResource(5, kEditingModePreview));
    EXPECT_TRUE(mgr.removeMediaResource(5, kEditingModeLive));
    EXPECT_EQ(mgr.size(), 0U);
}

}  // namespace
}  // namespace vantor
