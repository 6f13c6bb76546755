// Frame routing and play states on the source side: frames reach the writer of their echo key only
// between play and stop; the notifications drive the writers and the bound cards' echo servers.
#include <gtest/gtest.h>

#include <memory>

#include <host/idispatch.h>
#include <logcapture.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>
#include <videoechostandin/liveservers.h>

#include "echotestsupport.h"

namespace tarn::mediadispatch {
namespace {

using echotest::PatternFrame;
using vantor::kEditingModeLive;
using vantor::kEditingModePreview;

constexpr int kWidth = 32;
constexpr int kHeight = 16;

class Routing : public ::testing::Test {
protected:
    Routing() : cleaner({echoKey(id, kEditingModeLive), echoKey(id, kEditingModePreview)}) {
        mgr->addDispatch(dispatch);
    }

    // What a fresh reader finds in the channel now: true if the frame of `seed` is there.
    bool channelHolds(const std::string& key, uint32_t seed) {
        auto reader = std::make_shared<vantor::mediadispatch::SharedMemoryPlayer>(nullptr, key);
        reader->play(0.0, 0.0);
        return echotest::frameEquals(reader->getFrame(0.0), kWidth, kHeight,
                                     PatternFrame::pattern(size_t(kWidth) * kHeight * 4, seed));
    }
    void send(uint64_t mediaId, vantor::EditingMode mode, uint32_t seed) {
        PatternFrame frame(kWidth, kHeight, seed);
        mgr->updateFrameData(echotest::mediaInfo(mediaId, mode), frame.get());
    }
    void state(int playState, bool notify = true, vantor::EditingMode mode = kEditingModeLive) {
        dispatch->mediaPlayStateChanged(echotest::playState(id, mode, playState, notify));
    }
    std::string key() const { return echoKey(id, kEditingModeLive); }

    const uint64_t id = echotest::uniqueMediaId();
    echotest::ChannelCleaner cleaner;
    std::shared_ptr<VideoEchoMgr> mgr = std::make_shared<VideoEchoMgr>();
    std::shared_ptr<IDispatch> dispatch = std::make_shared<IDispatch>();
};

TEST_F(Routing, FramesBeforePlayAreDropped) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    send(id, kEditingModeLive, 1);
    EXPECT_FALSE(echotest::channelExists(key()));
}

TEST_F(Routing, FramesAfterPlayReachTheChannelOfTheirKey) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    state(1);
    send(id, kEditingModeLive, 2);
    EXPECT_TRUE(echotest::channelExists(key()));
    EXPECT_TRUE(channelHolds(key(), 2));
    send(id, kEditingModeLive, 3);
    EXPECT_TRUE(channelHolds(key(), 3));
}

TEST_F(Routing, FramesOfAnotherModeAreDropped) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    state(1);
    send(id, kEditingModeLive, 2);
    send(id, kEditingModePreview, 5);
    EXPECT_FALSE(echotest::channelExists(echoKey(id, kEditingModePreview)));
    EXPECT_TRUE(channelHolds(key(), 2));
}

TEST_F(Routing, PlayState3PlaysLikePlayState1) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    state(3);
    send(id, kEditingModeLive, 4);
    EXPECT_TRUE(channelHolds(key(), 4));
}

TEST_F(Routing, PlayState2OnlyLogsCheckPlayState) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    testsupport::LogCapture log;
    state(2);
    send(id, kEditingModeLive, 4);
    EXPECT_FALSE(echotest::channelExists(key()));
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].level, spdlog::level::info);
    EXPECT_TRUE(echotest::isLogLine(lines[0].text, "check play state!", "dispatchwiring.cpp",
                                    "onMediaPlayStateChanged"))
        << lines[0].text;
}

TEST_F(Routing, RecordWithoutNotifyChangesNothingAndLogsNothing) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    testsupport::LogCapture log;
    state(1, false);
    state(2, false);
    send(id, kEditingModeLive, 4);
    EXPECT_FALSE(echotest::channelExists(key()));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Routing, StopLogsTheMediaAndStopsTheWriterAndPlayRestartsIt) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    state(1);
    send(id, kEditingModeLive, 1);
    testsupport::LogCapture log;
    state(0);
    const auto stopLines = log.startingWith("VideoEcho media is stop");
    ASSERT_EQ(stopLines.size(), 1U);
    EXPECT_EQ(stopLines[0].level, spdlog::level::info);
    EXPECT_TRUE(echotest::isLogLine(
        stopLines[0].text,
        "VideoEcho media is stop, mediaId:" + std::to_string(id) + ", editingMode:1",
        "framerouting.cpp", "onStopped"))
        << stopLines[0].text;
    // The stopped writer let go of its segment and drops frames.
    send(id, kEditingModeLive, 2);
    EXPECT_FALSE(echotest::channelExists(key()));
    state(1);
    send(id, kEditingModeLive, 3);
    EXPECT_TRUE(channelHolds(key(), 3));
}

TEST_F(Routing, StopOfAMediaWithoutWriterIsSilent) {
    testsupport::LogCapture log;
    state(0);
    state(1);
    send(id, kEditingModeLive, 1);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(echotest::channelExists(key()));
}

TEST_F(Routing, RemovedMediaDropsFramesAndAddingAgainMakesAFreshStoppedWriter) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    state(1);
    send(id, kEditingModeLive, 1);
    dispatch->mediaRemoved(1, id, kEditingModeLive);
    EXPECT_FALSE(echotest::channelExists(key()));
    send(id, kEditingModeLive, 2);
    EXPECT_FALSE(echotest::channelExists(key()));
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    send(id, kEditingModeLive, 3);
    EXPECT_FALSE(echotest::channelExists(key()));  // fresh writers start stopped
    state(1);
    send(id, kEditingModeLive, 4);
    EXPECT_TRUE(channelHolds(key(), 4));
}

TEST_F(Routing, KeyAddedTwiceKeepsTheFirstWriterAndLogs) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    state(1);
    testsupport::LogCapture log;
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_TRUE(echotest::isLogLine(lines[0].text,
                                    "The id already exists, no need to create a new one.",
                                    "framerouting.cpp", "addSharedMemoryIPCServer"))
        << lines[0].text;
    send(id, kEditingModeLive, 6);  // the first writer still plays
    EXPECT_TRUE(channelHolds(key(), 6));
}

TEST_F(Routing, NullFrameIsDropped) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    state(1);
    mgr->updateFrameData(echotest::mediaInfo(id, kEditingModeLive), nullptr);
    EXPECT_FALSE(echotest::channelExists(key()));
}

TEST_F(Routing, BlackAndFrameEnableDoNothingOnTheSourceSide) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    testsupport::LogCapture log;
    dispatch->mediaBlack(1, id, kEditingModeLive);
    dispatch->videoEchoSendFrameEnabled(id, kEditingModeLive, false);
    EXPECT_TRUE(log.lines().empty());
}

class BoundServers : public Routing {
protected:
    BoundServers() {
        mgr->addEcho(card, &device);
        mgr->setBoundDisplayCardsQueryCallback([this](uint64_t mediaId, vantor::EditingMode mode) {
            ++queries;
            lastQuery = {mediaId, mode};
            return std::vector<STDisplayCardId>{card};
        });
    }
    std::vector<SpliceRegion> regions() {
        return standin::liveEchoServers().at(0)->getSpliceStrategy().regions;
    }

    STDisplayCardId card{"n", 1, "card-A", ""};
    int device = 0;
    int queries = 0;
    std::pair<uint64_t, vantor::EditingMode> lastQuery{};
};

TEST_F(BoundServers, PlayInTheManagersModeReachesTheBoundServers) {
    mgr->setEditingMode(kEditingModeLive, true);
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    state(1);
    EXPECT_EQ(queries, 1);
    EXPECT_EQ(lastQuery.first, id);
    ASSERT_EQ(regions().size(), 1U);
    EXPECT_EQ(regions()[0].mediaId, id);
    state(0);
    EXPECT_TRUE(regions().empty());
}

TEST_F(BoundServers, PlayInAnotherModeSkipsTheServersButStillPlaysTheWriter) {
    // The manager starts in mode 4096.
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    state(1);
    EXPECT_EQ(queries, 0);
    EXPECT_TRUE(regions().empty());
    send(id, kEditingModeLive, 8);
    EXPECT_TRUE(channelHolds(key(), 8));
}

TEST_F(BoundServers, EditingModeReachesEveryServerOnTheSourceSide) {
    mgr->addEcho(STDisplayCardId{"n", 2, "card-B", ""}, &device);
    mgr->setEditingMode(kEditingModePreview, true);
    for (const auto& server : standin::liveEchoServers()) {
        EXPECT_EQ(server->settings().editingMode, kEditingModePreview);
        EXPECT_TRUE(server->settings().editingFlag);
    }
}

TEST_F(BoundServers, EditingModeOnTheViewerSideOnlyChangesTheStoredMode) {
    mgr->setVideoEchoServerEnabled(false);
    mgr->setEditingMode(kEditingModeLive, true);
    EXPECT_EQ(standin::liveEchoServers().at(0)->settings().editingMode, vantor::kEditingModeNone);
    // ...but the stored mode decides which plays reach the bound servers.
    state(1);
    EXPECT_EQ(queries, 2);  // the server update, then the viewer's bound-cards path
    EXPECT_EQ(regions().size(), 1U);
}

}  // namespace
}  // namespace tarn::mediadispatch
