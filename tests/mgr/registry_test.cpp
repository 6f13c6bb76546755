// The address and splice-strategy registry: queries over the echo servers and the updates that the
// inter-machine channels make.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <logcapture.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>
#include <videoechostandin/liveservers.h>

#include "echotestsupport.h"

namespace tarn::mediadispatch {
namespace {

STDisplayCardId card(const std::string& deviceId, const std::string& node = "n1") {
    STDisplayCardId c;
    c.nodeId = node;
    c.id = 3;
    c.deviceId = deviceId;
    return c;
}

VideoEchoAddr addr(const std::string& deviceId, const std::string& url) {
    return VideoEchoAddr{card(deviceId), url};
}

VideoEchoSpliceStrategy strategy(const std::string& deviceId, std::vector<uint64_t> medias) {
    VideoEchoSpliceStrategy s;
    s.addr = addr(deviceId, "");
    for (auto m : medias) {
        s.regions.push_back(SpliceRegion{1, m, RegionRect{1, 2, 3, 4}});
    }
    return s;
}

class Registry : public ::testing::Test {
protected:
    std::shared_ptr<VideoEchoMgr> mgr = std::make_shared<VideoEchoMgr>();
    int device = 0;
};

TEST_F(Registry, WithoutServersEveryQueryIsEmpty) {
    EXPECT_TRUE(mgr->getAllVideoEchoAddr().empty());
    EXPECT_TRUE(mgr->getLocalAllVideoEchoAddr().empty());
    EXPECT_TRUE(mgr->getAllEchoSpliceStrategies().empty());
    EXPECT_TRUE(mgr->getLocalEchoSpliceStrategies().empty());
    EXPECT_TRUE(mgr->getAllEchoInfo().empty());
}

TEST_F(Registry, QueriesAnswerEveryServerInCreationOrder) {
    mgr->addEcho(card("A"), &device);
    mgr->addEcho(addr("B", "rtsp://b"));
    mgr->addEcho(card("C"), &device);
    mgr->setVideoEchoSpliceStrategy(strategy("C", {9}));
    const auto all = mgr->getAllVideoEchoAddr();
    const auto local = mgr->getLocalAllVideoEchoAddr();
    ASSERT_EQ(all.size(), 3U);
    ASSERT_EQ(local.size(), 3U);
    const std::vector<std::string> order{"A", "B", "C"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(all[i].cardId.deviceId, order[i]);
        EXPECT_TRUE(sameAddr(all[i], local[i]));
    }
    EXPECT_EQ(all[1].url, "rtsp://b");
    const auto strategies = mgr->getAllEchoSpliceStrategies();
    ASSERT_EQ(strategies.size(), 3U);
    EXPECT_EQ(mgr->getLocalEchoSpliceStrategies().size(), 3U);
    EXPECT_TRUE(strategies[0].regions.empty());
    ASSERT_EQ(strategies[2].regions.size(), 1U);
    EXPECT_EQ(strategies[2].regions[0].mediaId, 9U);
    const auto infos = mgr->getAllEchoInfo();
    ASSERT_EQ(infos.size(), 3U);
    EXPECT_EQ(infos[2].addr.cardId.deviceId, "C");
    EXPECT_EQ(infos[2].strategy.regions.size(), 1U);
}

TEST_F(Registry, RemoteAddressOfAKnownCardChangesNothing) {
    mgr->addEcho(addr("A", "rtsp://one"));
    mgr->addEcho(addr("A", "rtsp://two"));
    const auto all = mgr->getAllVideoEchoAddr();
    ASSERT_EQ(all.size(), 1U);
    EXPECT_EQ(all[0].url, "rtsp://one");
}

TEST_F(Registry, RemoteAddressCreatesAServerOnBothSides) {
    mgr->setVideoEchoServerEnabled(false);
    mgr->addEcho(addr("A", "rtsp://one"));
    ASSERT_EQ(standin::liveEchoServers().size(), 1U);
    EXPECT_FALSE(standin::liveEchoServers()[0]->settings().serverEnabled);
}

TEST_F(Registry, StrategiesForOneCardReachItsServerInOrder) {
    mgr->addEcho(card("A"), &device);
    std::vector<VideoEchoSpliceStrategy> seen;
    mgr->spliceStrategyChanged.connect(
        [&](const VideoEchoSpliceStrategy& s) { seen.push_back(s); });
    mgr->setVideoEchoSpliceStrategies({strategy("A", {1}), strategy("A", {2, 3})});
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[0].regions.size(), 1U);
    EXPECT_EQ(seen[1].regions.size(), 2U);
    EXPECT_EQ(mgr->getAllEchoSpliceStrategies()[0].regions.size(), 2U);
}

TEST_F(Registry, StrategyForACardWithoutServerIsIgnored) {
    testsupport::LogCapture log;
    mgr->addEcho(card("A"), &device);
    mgr->setVideoEchoSpliceStrategy(strategy("Z", {1}));
    EXPECT_TRUE(mgr->getAllEchoSpliceStrategies()[0].regions.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Registry, UpdateSpliceStrategyWithoutPlayerEntryLogsTheDevice) {
    testsupport::LogCapture log;
    mgr->addEcho(card("A"), &device);
    mgr->updateSpliceStrategy(strategy("A", {1}));
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].level, spdlog::level::info);
    EXPECT_TRUE(echotest::isLogLine(lines[0].text, "device A, split stratery update failed!",
                                    "echoregistry.cpp", "updateSpliceStrategy"))
        << lines[0].text;
    EXPECT_TRUE(mgr->getAllEchoSpliceStrategies()[0].regions.empty());
}

TEST_F(Registry, AddMediaAndSetVideoEchoAddrCreateNoServer) {
    testsupport::LogCapture log;
    mgr->AddMedia(addr("A", "rtsp://a"));
    mgr->setVideoEchoAddr(addr("A", "rtsp://a"));
    mgr->setVideoEchoAddr(addr("A", "rtsp://a"));
    EXPECT_TRUE(mgr->getAllVideoEchoAddr().empty());
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace tarn::mediadispatch
