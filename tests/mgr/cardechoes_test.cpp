// The echo servers of the display cards and the registry's queries over them: one server per
// deviceId, named video1, video2, ... and configured with the settings in force when it is made.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <tuple>
#include <vector>

#include <tarnmediadispatchvideoecho/videoechomgr.h>
#include <videoechostandin/liveservers.h>

namespace tarn::mediadispatch {
namespace {

STDisplayCardId card(const std::string& deviceId, const std::string& node = "n1") {
    return STDisplayCardId{node, 1, deviceId, "x"};
}

VideoEchoSpliceStrategy strategyFor(const std::string& deviceId, uint64_t mediaId) {
    return VideoEchoSpliceStrategy{{card(deviceId), ""}, {{1, mediaId, {0, 0, 10, 10}}}};
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
    // name, fps, width, height, bit rate, transmission, regions call-back, handle, device, enabled
    using Row = std::tuple<std::string, float, float, float, float, bool, bool, bool, bool, bool>;
    std::vector<Row> rows;
    for (const auto& s : settings()) {
        rows.emplace_back(s.name, s.fps, s.width, s.height, s.bitRate, s.transmissionMode,
                          s.hasSplicingRegionsCallBack, s.serverHandle > 0, s.device == &device,
                          s.serverEnabled);
    }
    EXPECT_EQ(rows, (std::vector<Row>{
                        {"video1", 30, 1920, 1080, 2097152, false, false, false, true, true},
                        {"video2", 25, 1280, 720, 1000, true, true, true, true, true},
                        {"", 0, 0, 0, 0, false, false, true, false, true},
                        {"video3", 25, 1280, 720, 1000, true, true, true, false, true}}));
    ASSERT_EQ(mgr->getAllVideoEchoAddr().size(), 4U);
    EXPECT_EQ(mgr->getAllVideoEchoAddr()[2].url, "rtsp://r");
}

TEST_F(CardEchoes, ViewerSideMakesOneServerPerRemoteCardAndConcurrentAddsMakeOne) {
    mgr->setVideoEchoServerEnabled(false);
    mgr->addEcho(card("A"), &device);
    std::vector<std::future<void>> adds;
    for (int i = 0; i < 8; ++i) {
        adds.push_back(std::async(std::launch::async, [&, i] {
            mgr->addEcho(VideoEchoAddr{card("R"), "rtsp://" + std::to_string(i)});
        }));
    }
    adds.clear();                                           // waits for every add
    mgr->addEcho(VideoEchoAddr{card("R"), "rtsp://late"});  // the first address stays
    const auto s = settings();
    ASSERT_EQ(s.size(), 1U);
    EXPECT_FALSE(s[0].serverEnabled);
    ASSERT_EQ(mgr->getAllVideoEchoAddr().size(), 1U);
    EXPECT_NE(mgr->getAllVideoEchoAddr()[0].url, "rtsp://late");
}

TEST_F(CardEchoes, UrlsRecordingRefreshAndStrategiesGoToTheCardsServer) {
    std::vector<VideoEchoAddr> emitted;
    std::vector<VideoEchoSpliceStrategy> relayed;
    mgr->echoAddrChanged.connect([&](const VideoEchoAddr& a) { emitted.push_back(a); });
    mgr->spliceStrategyChanged.connect(
        [&](const VideoEchoSpliceStrategy& s) { relayed.push_back(s); });
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

    mgr->addEcho(VideoEchoAddr{card("R"), "rtsp://r"});
    mgr->setVideoEchoSpliceStrategies(
        {strategyFor("A", 1), strategyFor("A", 77), strategyFor("R", 5), strategyFor("Z", 9)});
    ASSERT_EQ(relayed.size(), 2U);  // only local servers are relayed
    EXPECT_EQ(relayed[1].regions.at(0).mediaId, 77U);
    const auto infos = mgr->getAllEchoInfo();
    ASSERT_EQ(infos.size(), 2U);
    EXPECT_EQ(infos[0].strategy.regions.at(0).mediaId, 77U);
    EXPECT_EQ(infos[1].strategy.regions.at(0).mediaId, 5U);
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
