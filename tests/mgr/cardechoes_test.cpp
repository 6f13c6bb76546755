// The echo servers of the display cards and the registry's queries over them: one server per
// deviceId, named video1, video2, ... and configured with the settings in force when it is made.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include <tarnmediadispatchvideoecho/videoechomgr.h>
#include <videoechostandin/liveservers.h>

namespace tarn::mediadispatch {
namespace {

STDisplayCardId card(const std::string& deviceId, const std::string& node = "n1") {
    return STDisplayCardId{node, 1, deviceId, "x"};
}

VideoEchoSpliceStrategy strategyFor(const std::string& deviceId, uint64_t mediaId) {
    VideoEchoSpliceStrategy s;
    s.addr.cardId = card(deviceId);
    s.regions.push_back(SpliceRegion{1, mediaId, RegionRect{0, 0, 10, 10}});
    return s;
}

std::vector<VideoEcho::Settings> settings() {
    std::vector<VideoEcho::Settings> all;
    for (auto* server : standin::liveEchoServers()) {
        all.push_back(server->settings());
    }
    return all;
}

class CardEchoes : public ::testing::Test {
protected:
    std::shared_ptr<VideoEchoMgr> mgr = std::make_shared<VideoEchoMgr>();
    int device = 0;
};

TEST_F(CardEchoes, ServersTakeTheSettingsInForceAndNamesInCreationOrder) {
    mgr->addEcho(card("A"), &device);
    mgr->setVideoEchoFPS(25);
    mgr->setVideoEchoResolution(1280, 720);
    mgr->setVideoEchoBitRate(1000);
    mgr->setVideoEchoTransmissionMode(true);
    mgr->setSplicingRegionsCallBack([](uint64_t, const std::vector<vantor::SplicingSource>&) {});
    mgr->startVideoEchoServer();
    mgr->addEcho(card("B"), &device);
    mgr->addEcho(card("A", "other-node"), &device);      // same deviceId: the same card
    mgr->addEcho(VideoEchoAddr{card("R"), "rtsp://r"});  // remote: no name, no settings
    mgr->addEcho(card("C"), nullptr);
    EXPECT_TRUE(mgr->stopVideoEchoServer());
    EXPECT_FALSE(mgr->stopVideoEchoServer());
    const auto s = settings();
    ASSERT_EQ(s.size(), 4U);
    struct Expected {
        std::string name;
        float fps, width, height, bitRate;
        bool transmission, regionsCallBack, handle, device;
    };
    const Expected expected[] = {{"video1", 30, 1920, 1080, 2097152, false, false, false, true},
                                 {"video2", 25, 1280, 720, 1000, true, true, true, true},
                                 {"", 0, 0, 0, 0, false, false, true, false},
                                 {"video3", 25, 1280, 720, 1000, true, true, true, false}};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(s[i].name, expected[i].name);
        EXPECT_EQ(s[i].fps, expected[i].fps);
        EXPECT_EQ(s[i].width, expected[i].width);
        EXPECT_EQ(s[i].height, expected[i].height);
        EXPECT_EQ(s[i].bitRate, expected[i].bitRate);
        EXPECT_EQ(s[i].transmissionMode, expected[i].transmission);
        EXPECT_EQ(s[i].hasSplicingRegionsCallBack, expected[i].regionsCallBack);
        EXPECT_EQ(s[i].serverHandle > 0, expected[i].handle);
        EXPECT_EQ(s[i].device == &device, expected[i].device);
        EXPECT_TRUE(s[i].serverEnabled);
    }
    const auto addrs = mgr->getAllVideoEchoAddr();
    ASSERT_EQ(addrs.size(), 4U);
    EXPECT_EQ(addrs[0].cardId.nodeId, "n1");
    EXPECT_EQ(addrs[2].url, "rtsp://r");
    EXPECT_EQ(mgr->getLocalAllVideoEchoAddr().size(), 4U);
}

TEST_F(CardEchoes, ViewerSideMakesServersOnlyForRemoteAddresses) {
    mgr->setVideoEchoServerEnabled(false);
    mgr->addEcho(card("A"), &device);
    mgr->addEcho(VideoEchoAddr{card("R"), "rtsp://one"});
    mgr->addEcho(VideoEchoAddr{card("R"), "rtsp://two"});
    const auto s = settings();
    ASSERT_EQ(s.size(), 1U);
    EXPECT_FALSE(s[0].serverEnabled);
    EXPECT_EQ(mgr->getAllVideoEchoAddr().at(0).url, "rtsp://one");
}

TEST_F(CardEchoes, ConcurrentAddsOfOneNewCardCreateOneServer) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] { mgr->addEcho(card("same"), &device); });
    }
    for (auto& t : threads) {
        t.join();
    }
    ASSERT_EQ(settings().size(), 1U);
    EXPECT_EQ(settings()[0].name, "video1");
}

TEST_F(CardEchoes, UrlRecordingAndSourceRefreshGoToTheCardsServer) {
    std::vector<VideoEchoAddr> emitted;
    mgr->echoAddrChanged.connect([&](const VideoEchoAddr& a) { emitted.push_back(a); });
    EXPECT_EQ(mgr->getVideoEchoUrl(card("A")), "");
    EXPECT_FALSE(mgr->createRecordVideo(card("A")));
    mgr->addEcho(card("A", "node7"), &device);
    EXPECT_EQ(mgr->getVideoEchoUrl(card("A")), "rtsp://node7/echo/A");
    EXPECT_TRUE(mgr->createRecordVideo(card("A")));
    ASSERT_EQ(emitted.size(), 1U);
    EXPECT_EQ(emitted[0].url, "rtsp://node7/echo/A");
    EXPECT_TRUE(settings()[0].recording);
    const int updates = settings()[0].sourceCallBackUpdates;
    mgr->setVideoEchoId(card("A", "node7"));  // unchanged address: nothing to refresh
    EXPECT_EQ(settings()[0].sourceCallBackUpdates, updates);
    mgr->setVideoEchoId(card("A", "node8"));
    EXPECT_EQ(settings()[0].sourceCallBackUpdates, updates + 1);
}

TEST_F(CardEchoes, StrategiesReachTheirCardsServerAndOnlyLocalServersAreRelayed) {
    mgr->addEcho(card("A"), &device);
    mgr->addEcho(VideoEchoAddr{card("R"), "rtsp://r"});
    std::vector<VideoEchoSpliceStrategy> relayed;
    mgr->spliceStrategyChanged.connect(
        [&](const VideoEchoSpliceStrategy& s) { relayed.push_back(s); });
    mgr->setVideoEchoSpliceStrategies(
        {strategyFor("A", 1), strategyFor("A", 77), strategyFor("R", 5), strategyFor("Z", 9)});
    ASSERT_EQ(relayed.size(), 2U);
    EXPECT_EQ(relayed[1].regions.at(0).mediaId, 77U);
    const auto infos = mgr->getAllEchoInfo();
    ASSERT_EQ(infos.size(), 2U);
    EXPECT_EQ(infos[0].strategy.regions.at(0).mediaId, 77U);
    EXPECT_EQ(infos[1].strategy.regions.at(0).mediaId, 5U);
    EXPECT_EQ(mgr->getAllEchoSpliceStrategies().size(), 2U);
    EXPECT_EQ(mgr->getLocalEchoSpliceStrategies().size(), 2U);
    // Neither a player-less update nor a recorded address touches the servers.
    mgr->updateSpliceStrategy(strategyFor("A", 3));
    mgr->setVideoEchoAddr(VideoEchoAddr{card("N"), "rtsp://n"});
    mgr->AddMedia(VideoEchoAddr{card("N"), "rtsp://n"});
    EXPECT_EQ(mgr->getAllEchoSpliceStrategies()[0].regions.at(0).mediaId, 77U);
    EXPECT_EQ(mgr->getAllVideoEchoAddr().size(), 2U);
}

}  // namespace
}  // namespace tarn::mediadispatch
