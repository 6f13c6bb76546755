// The echo servers of the display cards: created once per deviceId with the configuration in force,
// named video1, video2, ...; the relayed strategy signal; URLs, stream ids and recordings.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include <logcapture.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>
#include <videoechostandin/liveservers.h>

#include "echotestsupport.h"

namespace tarn::mediadispatch {
namespace {

STDisplayCardId card(const std::string& deviceId, uint64_t id = 1, const std::string& node = "n1") {
    STDisplayCardId c;
    c.nodeId = node;
    c.id = id;
    c.deviceId = deviceId;
    c.extra = "x";
    return c;
}

int device = 0;  // any non-null handle

VideoEchoSpliceStrategy strategyFor(const STDisplayCardId& cardId, uint64_t mediaId) {
    VideoEchoSpliceStrategy s;
    s.addr.cardId = cardId;
    s.regions.push_back(SpliceRegion{1, mediaId, RegionRect{0, 0, 10, 10}});
    return s;
}

class CardEchoes : public ::testing::Test {
protected:
    std::shared_ptr<VideoEchoMgr> mgr = std::make_shared<VideoEchoMgr>();
};

TEST_F(CardEchoes, NewServerGetsTheInitialConfiguration) {
    mgr->addEcho(card("A"), &device);
    const auto servers = standin::liveEchoServers();
    ASSERT_EQ(servers.size(), 1U);
    const auto s = servers[0]->settings();
    EXPECT_EQ(s.name, "video1");
    EXPECT_EQ(s.device, &device);
    EXPECT_EQ(s.width, 1920.0F);
    EXPECT_EQ(s.height, 1080.0F);
    EXPECT_EQ(s.bitRate, 2097152.0F);
    EXPECT_EQ(s.fps, 30.0F);
    EXPECT_FALSE(s.transmissionMode);
    EXPECT_EQ(s.serverHandle, 0);
    EXPECT_TRUE(s.serverEnabled);
    EXPECT_FALSE(s.hasSplicingRegionsCallBack);
    EXPECT_EQ(servers[0]->displayCardId().deviceId, "A");
    EXPECT_EQ(servers[0]->displayCardId().extra, "x");
}

TEST_F(CardEchoes, ConfigurationReachesOnlyServersCreatedAfterIt) {
    mgr->addEcho(card("A"), &device);
    mgr->setVideoEchoFPS(25);
    mgr->setVideoEchoResolution(1280, 720);
    mgr->setVideoEchoBitRate(1000);
    mgr->setVideoEchoTransmissionMode(true);
    mgr->setSplicingRegionsCallBack([](uint64_t, const std::vector<vantor::SplicingSource>&) {});
    mgr->setVideoEchoSourceCallBack([](const uint64_t&, void** p) { return p; });
    mgr->addEcho(card("B"), &device);
    const auto servers = standin::liveEchoServers();
    ASSERT_EQ(servers.size(), 2U);
    const auto first = servers[0]->settings();
    const auto second = servers[1]->settings();
    EXPECT_EQ(first.fps, 30.0F);
    EXPECT_EQ(first.width, 1920.0F);
    EXPECT_FALSE(first.hasSplicingRegionsCallBack);
    EXPECT_EQ(second.name, "video2");
    EXPECT_EQ(second.fps, 25.0F);
    EXPECT_EQ(second.width, 1280.0F);
    EXPECT_EQ(second.height, 720.0F);
    EXPECT_EQ(second.bitRate, 1000.0F);
    EXPECT_TRUE(second.transmissionMode);
    EXPECT_TRUE(second.hasSplicingRegionsCallBack);
    EXPECT_TRUE(second.hasVideoEchoSourceCallBack);
}

TEST_F(CardEchoes, CardsAreNamedInCreationOrderAndTheCounterNeverGoesBack) {
    mgr->addEcho(card("A"), &device);
    mgr->addEcho(card("B"), &device);
    mgr->addEcho(card("C"), &device);
    mgr->addEcho(card("A"), &device);
    ASSERT_EQ(standin::liveEchoServers().size(), 3U);
    VideoEchoAddr remote;
    remote.cardId = card("R");
    mgr->addEcho(remote);  // a remote address takes no name and no number
    mgr->addEcho(card("D"), &device);
    std::vector<std::string> names;
    for (const auto& server : standin::liveEchoServers()) {
        names.push_back(server->settings().name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"video1", "video2", "video3", "", "video4"}));
}

TEST_F(CardEchoes, SameDeviceIdWithOtherFieldsIsTheSameCard) {
    mgr->addEcho(card("A", 1, "n1"), &device);
    mgr->addEcho(card("A", 2, "n2"), &device);
    mgr->addEcho(card("a"), &device);
    const auto addrs = mgr->getAllVideoEchoAddr();
    ASSERT_EQ(addrs.size(), 2U);
    EXPECT_EQ(addrs[0].cardId.nodeId, "n1");
    EXPECT_EQ(addrs[1].cardId.deviceId, "a");
}

TEST_F(CardEchoes, ViewerSideCreatesNoServerAndLogsNothing) {
    testsupport::LogCapture log;
    mgr->setVideoEchoServerEnabled(false);
    mgr->addEcho(card("A"), nullptr);
    EXPECT_TRUE(standin::liveEchoServers().empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(CardEchoes, NullDeviceLogsTheCardIdAndStillCreatesTheServer) {
    testsupport::LogCapture log;
    mgr->addEcho(card("A", 42), nullptr);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].level, spdlog::level::info);
    EXPECT_TRUE(echotest::isLogLine(lines[0].text, "device is nullptr, displayCardId is 42",
                                    "cardechoes.cpp", "addEcho"))
        << lines[0].text;
    ASSERT_EQ(standin::liveEchoServers().size(), 1U);
    EXPECT_EQ(standin::liveEchoServers()[0]->settings().device, nullptr);
}

TEST_F(CardEchoes, ConcurrentAddsOfOneNewCardCreateOneServer) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] { mgr->addEcho(card("same"), &device); });
    }
    for (auto& t : threads) {
        t.join();
    }
    ASSERT_EQ(standin::liveEchoServers().size(), 1U);
    EXPECT_EQ(standin::liveEchoServers()[0]->settings().name, "video1");
}

TEST_F(CardEchoes, StartHandleReachesOnlyLaterServers) {
    mgr->addEcho(card("before"), &device);
    EXPECT_TRUE(mgr->startVideoEchoServer());
    mgr->addEcho(card("after"), &device);
    const auto servers = standin::liveEchoServers();
    ASSERT_EQ(servers.size(), 2U);
    EXPECT_EQ(servers[0]->settings().serverHandle, 0);
    EXPECT_GT(servers[1]->settings().serverHandle, 0);
    EXPECT_TRUE(mgr->stopVideoEchoServer());
    EXPECT_FALSE(mgr->stopVideoEchoServer());
}

TEST_F(CardEchoes, UrlOfACardWithoutServerIsEmpty) {
    EXPECT_EQ(mgr->getVideoEchoUrl(card("none")), "");
    mgr->addEcho(card("A", 1, "node7"), &device);
    EXPECT_EQ(mgr->getVideoEchoUrl(card("A")), "rtsp://node7/echo/A");
}

TEST_F(CardEchoes, CreateRecordVideoEmitsTheServersAddressOnce) {
    std::vector<VideoEchoAddr> emitted;
    mgr->echoAddrChanged.connect([&](const VideoEchoAddr& a) { emitted.push_back(a); });
    EXPECT_FALSE(mgr->createRecordVideo(card("A")));
    EXPECT_TRUE(emitted.empty());
    mgr->addEcho(card("A", 1, "node7"), &device);
    EXPECT_TRUE(mgr->createRecordVideo(card("A")));
    ASSERT_EQ(emitted.size(), 1U);
    EXPECT_EQ(emitted[0].cardId.deviceId, "A");
    EXPECT_EQ(emitted[0].url, "rtsp://node7/echo/A");
    EXPECT_TRUE(standin::liveEchoServers()[0]->settings().recording);
}

TEST_F(CardEchoes, CreateRecordVideoEmitsEvenWhenTheServerRefuses) {
    // A server created from a remote address on a viewer is not enabled and refuses to record.
    mgr->setVideoEchoServerEnabled(false);
    VideoEchoAddr remote;
    remote.cardId = card("R", 3, "far");
    remote.url = "rtsp://far/x";
    mgr->addEcho(remote);
    std::vector<VideoEchoAddr> emitted;
    mgr->echoAddrChanged.connect([&](const VideoEchoAddr& a) { emitted.push_back(a); });
    EXPECT_TRUE(mgr->createRecordVideo(card("R")));
    ASSERT_EQ(emitted.size(), 1U);
    EXPECT_EQ(emitted[0].url, "rtsp://far/x");
    EXPECT_FALSE(standin::liveEchoServers()[0]->settings().recording);
}

TEST_F(CardEchoes, SetVideoEchoIdOfUnknownCardWarns) {
    testsupport::LogCapture log;
    mgr->setVideoEchoId(card("none"));
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].level, spdlog::level::warn);
    EXPECT_TRUE(echotest::isLogLine(lines[0].text, "videoEcho is null.", "cardechoes.cpp",
                                    "setVideoEchoId"))
        << lines[0].text;
}

TEST_F(CardEchoes, SetVideoEchoIdRefreshesTheSourceOnlyWhenTheAddressChanged) {
    mgr->addEcho(card("A", 1, "node7"), &device);
    const auto server = standin::liveEchoServers().at(0);
    const int before = server->settings().sourceCallBackUpdates;
    mgr->setVideoEchoId(card("A", 1, "node7"));
    EXPECT_EQ(server->settings().sourceCallBackUpdates, before);
    mgr->setVideoEchoId(card("A", 1, "node8"));
    EXPECT_EQ(server->settings().sourceCallBackUpdates, before + 1);
}

TEST_F(CardEchoes, ServerStrategySignalIsRelayedWithTheSameRecord) {
    mgr->addEcho(card("A"), &device);
    std::vector<VideoEchoSpliceStrategy> relayed;
    mgr->spliceStrategyChanged.connect(
        [&](const VideoEchoSpliceStrategy& s) { relayed.push_back(s); });
    mgr->setVideoEchoSpliceStrategy(strategyFor(card("A"), 77));
    ASSERT_EQ(relayed.size(), 1U);
    ASSERT_EQ(relayed[0].regions.size(), 1U);
    EXPECT_EQ(relayed[0].regions[0].mediaId, 77U);
    EXPECT_EQ(relayed[0].addr.cardId.deviceId, "A");
}

TEST_F(CardEchoes, RemoteAddressServerIsUnconfiguredAndNotRelayed) {
    VideoEchoAddr remote;
    remote.cardId = card("R");
    remote.url = "rtsp://far/x";
    mgr->addEcho(remote);
    int relayed = 0;
    mgr->spliceStrategyChanged.connect([&](const VideoEchoSpliceStrategy&) { ++relayed; });
    mgr->setVideoEchoSpliceStrategy(strategyFor(card("R"), 5));
    EXPECT_EQ(relayed, 0);
    const auto servers = standin::liveEchoServers();
    ASSERT_EQ(servers.size(), 1U);
    EXPECT_EQ(servers[0]->settings().fps, 0.0F);
    EXPECT_EQ(servers[0]->getSpliceStrategy().regions.size(), 1U);
}

}  // namespace
}  // namespace tarn::mediadispatch
