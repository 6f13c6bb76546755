// The viewer side: echo media created for dispatched media, tied to the first ready card,
// registered with the host's media manager, driven by play, stop, black and frame-enable, and
// unregistered.
#include <gtest/gtest.h>

#include <memory>

#include <host/idispatch.h>
#include <logcapture.h>
#include <tarnmediadispatchvideoecho/echomedia.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "echotestsupport.h"

namespace tarn::mediadispatch {
namespace {

using vantor::kEditingModeLive;
using vantor::mediadispatch::EchoMedia;
using vantor::mediadispatch::SharedMemoryPlayer;

STDisplayCardInfo readyCard(const std::string& deviceId, void* device) {
    STDisplayCardInfo c;
    c.nodeId = "n";
    c.id = 5;
    c.deviceId = deviceId;
    c.device = device;
    return c;
}

class Viewer : public ::testing::Test {
protected:
    Viewer() : cleaner({echoKey(id, kEditingModeLive)}) {
        mgr->setVideoEchoServerEnabled(false);
        mgr->setMediaMgr(&media);
        mgr->addDispatch(dispatch);
    }
    void ready() {
        mgr->onDeviceReady(readyCard("first", &deviceA));
        mgr->onDeviceReady(readyCard("second", &deviceB));
    }
    std::shared_ptr<EchoMedia> echo(size_t index = 0) {
        return std::dynamic_pointer_cast<EchoMedia>(media.held(index));
    }
    std::shared_ptr<SharedMemoryPlayer> playerOf(const std::shared_ptr<EchoMedia>& m) {
        const auto players = m->getPlayers("");
        return players.empty()
                   ? nullptr
                   : std::dynamic_pointer_cast<SharedMemoryPlayer>(players[0].mediaPlayer.lock());
    }

    const uint64_t id = echotest::uniqueMediaId();
    echotest::ChannelCleaner cleaner;
    int deviceA = 0;
    int deviceB = 0;
    echotest::RecordingMediaMgr media;
    std::shared_ptr<VideoEchoMgr> mgr = std::make_shared<VideoEchoMgr>();
    std::shared_ptr<IDispatch> dispatch = std::make_shared<IDispatch>();
};

TEST_F(Viewer, MediaGetsOneEchoMediaTiedToTheFirstReadyCard) {
    ready();
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive, true)});
    ASSERT_EQ(media.added().size(), 1U);
    const auto m = echo();
    ASSERT_NE(m, nullptr);
    EXPECT_NE(m->id(), id);  // a fresh id, not the dispatched media's
    EXPECT_EQ(m->editingMode(), kEditingModeLive);
    EXPECT_EQ(m->resType(), 16);
    const auto players = m->getPlayers("first");
    ASSERT_EQ(players.size(), 1U);
    EXPECT_EQ(players[0].playerKey, "first");
    EXPECT_TRUE(players[0].valid);
    EXPECT_TRUE(players[0].mediaFlag);  // the dispatched media's flag
    EXPECT_EQ(players[0].editingMode, kEditingModeLive);
    ASSERT_EQ(players[0].spliceSources.size(), 1U);
    EXPECT_EQ(players[0].spliceSources[0].id, id);
    EXPECT_EQ(players[0].spliceSources[0].width, 0.0F);
    EXPECT_EQ(players[0].spliceSources[0].height, 0.0F);
    const auto player = playerOf(m);
    ASSERT_NE(player, nullptr);
    EXPECT_EQ(player->name(), echoKey(id, kEditingModeLive));
    EXPECT_TRUE(m->getPlayers("second").empty());
}

TEST_F(Viewer, NoReadyCardLogsAndALaterCardDoesNotMakeUpForIt) {
    testsupport::LogCapture log;
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].level, spdlog::level::info);
    EXPECT_TRUE(echotest::isLogLine(lines[0].text, "display card is empty!",
                                    "echomediaregistration.cpp", "addMedia"))
        << lines[0].text;
    ready();
    EXPECT_TRUE(media.added().empty());
}

TEST_F(Viewer, NoMediaManagerWarnsOnAddAndIsSilentOnRemove) {
    mgr->setMediaMgr(nullptr);
    ready();
    testsupport::LogCapture log;
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    dispatch->mediaRemoved(1, id, kEditingModeLive);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].level, spdlog::level::warn);
    EXPECT_TRUE(echotest::isLogLine(lines[0].text, "_mediaMgr is null.",
                                    "echomediaregistration.cpp", "addMedia"))
        << lines[0].text;
}

TEST_F(Viewer, SourceSideRecordsNoCardsAndRegistersNothing) {
    mgr->setVideoEchoServerEnabled(true);
    mgr->onDeviceReady(readyCard("first", &deviceA));
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    EXPECT_TRUE(media.added().empty());
    mgr->setVideoEchoServerEnabled(false);
    testsupport::LogCapture log;
    dispatch->mediasAdded({echotest::mediaInfo(id + 1, kEditingModeLive)});
    EXPECT_EQ(log.startingWith("display card is empty!").size(), 1U);
}

TEST_F(Viewer, SameMediaAddedTwiceRegistersTwoAndTracksTheFirst) {
    ready();
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    ASSERT_EQ(media.added().size(), 2U);
    const uint64_t first = echo(0)->id();
    dispatch->mediaRemoved(1, id, kEditingModeLive);
    const auto removed = media.removed();
    ASSERT_EQ(removed.size(), 1U);
    EXPECT_EQ(removed[0].first, first);
    EXPECT_EQ(removed[0].second, kEditingModeLive);
}

TEST_F(Viewer, RemovalUnregistersTheEchoMediasIdAndMode) {
    ready();
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    const uint64_t echoId = echo()->id();
    dispatch->mediaRemoved(1, id, kEditingModeLive);
    ASSERT_EQ(media.removed().size(), 1U);
    EXPECT_EQ(media.removed()[0].first, echoId);
    EXPECT_EQ(media.heldCount(), 0U);
    testsupport::LogCapture log;
    dispatch->mediaRemoved(1, id, kEditingModeLive);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].level, spdlog::level::warn);
    EXPECT_TRUE(echotest::isLogLine(lines[0].text,
                                    "not find echo media, id:" + echoKey(id, kEditingModeLive),
                                    "echomediaregistration.cpp", "removeMedia"))
        << lines[0].text;
}

TEST_F(Viewer, RemovalAfterTheHostDroppedTheMediaWarnsAndForgetsIt) {
    ready();
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    media.dropAll();
    testsupport::LogCapture log;
    dispatch->mediaRemoved(1, id, kEditingModeLive);
    ASSERT_EQ(log.lines().size(), 1U);
    EXPECT_TRUE(echotest::isLogLine(log.lines()[0].text, "media is null",
                                    "echomediaregistration.cpp", "removeMedia"));
    EXPECT_TRUE(media.removed().empty());
    log.clear();
    dispatch->mediaRemoved(1, id, kEditingModeLive);
    EXPECT_EQ(log.startingWith("not find echo media, id:").size(), 1U);
}

TEST_F(Viewer, PlayStopAndBlackReachTheEchoMedia) {
    ready();
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    const auto m = echo();
    const auto player = playerOf(m);
    ASSERT_NE(player, nullptr);
    dispatch->mediaPlayStateChanged(echotest::playState(id, kEditingModeLive, 1));
    EXPECT_EQ(player->getPlayState(), qv::mediacore::kPlayerStatePlaying);
    dispatch->mediaBlack(1, id, kEditingModeLive);
    EXPECT_TRUE(m->getPlayers("")[0].isBlack);
    EXPECT_FALSE(m->getPlayers("")[0].isBlack);
    dispatch->mediaPlayStateChanged(echotest::playState(id, kEditingModeLive, 0));
    EXPECT_EQ(player->getPlayState(), qv::mediacore::kPlayerStateStopped);
}

TEST_F(Viewer, FrameEnableReachesThePlayer) {
    ready();
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    const auto m = echo();
    const auto player = playerOf(m);
    // A writer of this process feeds the channel the echo media reads.
    auto source = std::make_shared<VideoEchoMgr>();
    auto sourceDispatch = std::make_shared<IDispatch>();
    source->addDispatch(sourceDispatch);
    sourceDispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    sourceDispatch->mediaPlayStateChanged(echotest::playState(id, kEditingModeLive, 1));
    echotest::PatternFrame frame(16, 8, 11);
    source->updateFrameData(echotest::mediaInfo(id, kEditingModeLive), frame.get());
    dispatch->mediaPlayStateChanged(echotest::playState(id, kEditingModeLive, 1));
    EXPECT_TRUE(echotest::frameEquals(player->getFrame(0.0), 16, 8, frame.bytes()));
    dispatch->videoEchoSendFrameEnabled(id, kEditingModeLive, false);
    EXPECT_EQ(player->getFrame(0.0), nullptr);
    dispatch->videoEchoSendFrameEnabled(id, kEditingModeLive, true);
    EXPECT_TRUE(echotest::frameEquals(player->getFrame(0.0), 16, 8, frame.bytes()));
}

TEST_F(Viewer, FrameEnableForAnUnknownMediaWarns) {
    testsupport::LogCapture log;
    dispatch->videoEchoSendFrameEnabled(id, kEditingModeLive, false);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].level, spdlog::level::warn);
    EXPECT_TRUE(echotest::isLogLine(lines[0].text, "media is null", "echomediaregistration.cpp",
                                    "onVideoEchoSendFrameEnabled"))
        << lines[0].text;
}

TEST_F(Viewer, NotificationsForUnknownMediaWithoutBoundCardsAreSilent) {
    testsupport::LogCapture log;
    dispatch->mediaPlayStateChanged(echotest::playState(id, kEditingModeLive, 1));
    dispatch->mediaPlayStateChanged(echotest::playState(id, kEditingModeLive, 0));
    dispatch->mediaBlack(1, id, kEditingModeLive);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace tarn::mediadispatch
