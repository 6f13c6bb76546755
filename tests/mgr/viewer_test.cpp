// The viewer side: an echo media per dispatched media, tied to the first ready card, registered
// with the host's media manager, driven by play, stop, black and frame-enable, and unregistered.
#include <gtest/gtest.h>

#include <memory>

#include <host/idispatch.h>
#include <tarnmediadispatchvideoecho/echomedia.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "echotestsupport.h"

namespace tarn::mediadispatch {
namespace {

using vantor::kEditingModeLive;
using vantor::mediadispatch::EchoMedia;
using vantor::mediadispatch::SharedMemoryPlayer;

class Viewer : public ::testing::Test {
protected:
    Viewer() {
        mgr->setVideoEchoServerEnabled(false);
        mgr->setMediaMgr(&media);
        mgr->addDispatch(dispatch);
        mgr->onDeviceReady(STDisplayCardInfo{"n", 5, "first", "", &deviceA});
        mgr->onDeviceReady(STDisplayCardInfo{"n", 6, "second", "", &deviceB});
    }
    std::shared_ptr<EchoMedia> echo(size_t index = 0) {
        return std::dynamic_pointer_cast<EchoMedia>(media.held(index));
    }
    std::shared_ptr<SharedMemoryPlayer> playerOf(const std::shared_ptr<EchoMedia>& m) {
        return std::dynamic_pointer_cast<SharedMemoryPlayer>(
            m->getPlayers("").at(0).mediaPlayer.lock());
    }
    void state(int playState) {
        dispatch->mediaPlayStateChanged(echotest::playState(id, kEditingModeLive, playState));
    }

    const uint64_t id = echotest::uniqueMediaId();
    echotest::ChannelCleaner cleaner{{echoKey(id, kEditingModeLive)}};
    int deviceA = 0;
    int deviceB = 0;
    echotest::RecordingMediaMgr media;
    std::shared_ptr<VideoEchoMgr> mgr = std::make_shared<VideoEchoMgr>();
    std::shared_ptr<IDispatch> dispatch = std::make_shared<IDispatch>();
};

TEST_F(Viewer, MediaGetsOneEchoMediaTiedToTheFirstReadyCard) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive, true)});
    ASSERT_EQ(media.added().size(), 1U);
    const auto m = echo();
    ASSERT_NE(m, nullptr);
    EXPECT_NE(m->id(), id);  // a fresh id, not the dispatched media's
    EXPECT_EQ(m->editingMode(), kEditingModeLive);
    const auto players = m->getPlayers("first");
    ASSERT_EQ(players.size(), 1U);
    EXPECT_TRUE(players[0].mediaFlag);  // the echo media negates the negated flag
    ASSERT_EQ(players[0].spliceSources.size(), 1U);
    EXPECT_EQ(players[0].spliceSources[0].id, id);
    EXPECT_EQ(players[0].spliceSources[0].width, 0.0F);
    EXPECT_EQ(playerOf(m)->name(), echoKey(id, kEditingModeLive));
    EXPECT_TRUE(m->getPlayers("second").empty());
}

TEST_F(Viewer, RemovalUnregistersTheFirstTrackedEchoMediaOnce) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    ASSERT_EQ(media.added().size(), 2U);
    const uint64_t first = echo(0)->id();
    dispatch->mediaRemoved(1, id, kEditingModeLive);
    dispatch->mediaRemoved(1, id, kEditingModeLive);
    const auto removed = media.removed();
    ASSERT_EQ(removed.size(), 1U);
    EXPECT_EQ(removed[0].first, first);
    EXPECT_EQ(removed[0].second, kEditingModeLive);
}

TEST_F(Viewer, PlayStopBlackAndFrameEnableReachTheEchoMedia) {
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    const auto m = echo();
    const auto player = playerOf(m);
    ASSERT_NE(player, nullptr);
    // A writer of this process feeds the channel the echo media reads.
    auto source = std::make_shared<VideoEchoMgr>();
    auto sourceDispatch = std::make_shared<IDispatch>();
    source->addDispatch(sourceDispatch);
    sourceDispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    sourceDispatch->mediaPlayStateChanged(echotest::playState(id, kEditingModeLive, 1));
    echotest::PatternFrame frame(16, 8, 11);
    source->updateFrameData(echotest::mediaInfo(id, kEditingModeLive), frame.get());

    state(1);
    EXPECT_EQ(player->getPlayState(), qv::mediacore::kPlayerStatePlaying);
    EXPECT_TRUE(echotest::frameEquals(player->getFrame(0.0), 16, 8, frame.bytes()));
    dispatch->videoEchoSendFrameEnabled(id, kEditingModeLive, false);
    EXPECT_EQ(player->getFrame(0.0), nullptr);
    dispatch->videoEchoSendFrameEnabled(id, kEditingModeLive, true);
    EXPECT_TRUE(echotest::frameEquals(player->getFrame(0.0), 16, 8, frame.bytes()));
    dispatch->mediaBlack(1, id, kEditingModeLive);
    EXPECT_TRUE(m->getPlayers("")[0].isBlack);
    state(0);
    EXPECT_EQ(player->getPlayState(), qv::mediacore::kPlayerStateStopped);
}

TEST_F(Viewer, TheRoleIsReadAtEveryNotification) {
    mgr->setVideoEchoServerEnabled(true);
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    EXPECT_TRUE(media.added().empty());  // a writer instead
    mgr->setVideoEchoServerEnabled(false);
    dispatch->mediasAdded({echotest::mediaInfo(id + 1, kEditingModeLive)});
    EXPECT_EQ(media.added().size(), 1U);
}

}  // namespace
}  // namespace tarn::mediadispatch
