// The source side: frames reach the writer of their echo key only between play and stop, the bound
// cards' servers hear of plays in the manager's editing mode, and the dispatch wiring ends with the
// manager or removeDispatch.
#include <gtest/gtest.h>

#include <memory>

#include <host/idispatch.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>
#include <videoechostandin/liveservers.h>

#include "echotestsupport.h"

namespace tarn::mediadispatch {
namespace {

using vantor::kEditingModeLive;
using vantor::kEditingModePreview;

class Routing : public ::testing::Test {
protected:
    Routing() { mgr->addDispatch(dispatch); }

    // Sends the frame of `seed` and reports whether a fresh reader then finds it in the channel.
    bool arrives(uint32_t seed, vantor::EditingMode mode = kEditingModeLive) {
        echotest::PatternFrame frame(32, 16, seed);
        mgr->updateFrameData(echotest::mediaInfo(id, mode), frame.get());
        if (!echotest::channelExists(echoKey(id, mode))) {
            return false;
        }
        auto reader =
            std::make_shared<vantor::mediadispatch::SharedMemoryPlayer>(nullptr, echoKey(id, mode));
        reader->play(0.0, 0.0);
        return echotest::frameEquals(reader->getFrame(0.0), 32, 16, frame.bytes());
    }
    void state(int playState, bool notify = true) {
        dispatch->mediaPlayStateChanged(
            echotest::playState(id, kEditingModeLive, playState, notify));
    }
    void add() { dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)}); }

    const uint64_t id = echotest::uniqueMediaId();
    echotest::ChannelCleaner cleaner{
        {echoKey(id, kEditingModeLive), echoKey(id, kEditingModePreview)}};
    std::shared_ptr<VideoEchoMgr> mgr = std::make_shared<VideoEchoMgr>();
    std::shared_ptr<IDispatch> dispatch = std::make_shared<IDispatch>();
};

TEST_F(Routing, FramesFlowOnlyBetweenPlayAndStopOfTheirOwnKey) {
    add();
    EXPECT_FALSE(arrives(1));  // before play
    state(2);                  // neither play nor stop
    state(1, false);           // not to be notified
    EXPECT_FALSE(arrives(2));
    state(3);
    EXPECT_TRUE(arrives(3));
    EXPECT_FALSE(arrives(4, kEditingModePreview));
    state(0);
    EXPECT_FALSE(arrives(5));
    state(1);
    EXPECT_TRUE(arrives(6));
    mgr->updateFrameData(echotest::mediaInfo(id, kEditingModeLive), nullptr);
    add();  // a second add keeps the playing writer
    EXPECT_TRUE(arrives(7));
    dispatch->mediaRemoved(1, id, kEditingModeLive);
    EXPECT_FALSE(echotest::channelExists(echoKey(id, kEditingModeLive)));
    EXPECT_FALSE(arrives(8));
    add();  // a fresh writer starts stopped
    EXPECT_FALSE(arrives(9));
}

TEST_F(Routing, BoundServersHearOfPlaysInTheManagersModeOnly) {
    const STDisplayCardId card{"n", 1, "card-A", ""};
    int device = 0;
    int queries = 0;
    mgr->addEcho(card, &device);
    mgr->setBoundDisplayCardsQueryCallback([&](uint64_t mediaId, vantor::EditingMode mode) {
        ++queries;
        EXPECT_EQ(mediaId, id);
        EXPECT_EQ(mode, kEditingModeLive);
        return std::vector<STDisplayCardId>{card};
    });
    const auto regions = [&] { return mgr->getAllEchoSpliceStrategies().at(0).regions; };
    add();
    state(1);  // the manager starts in another mode
    EXPECT_EQ(queries, 0);
    EXPECT_TRUE(arrives(1));
    mgr->setEditingMode(kEditingModeLive, true);
    EXPECT_EQ(standin::liveEchoServers().at(0)->settings().editingMode, kEditingModeLive);
    state(1);
    ASSERT_EQ(regions().size(), 1U);
    EXPECT_EQ(regions()[0].mediaId, id);
    state(0);
    EXPECT_TRUE(regions().empty());
    // On the viewer side the servers keep their mode; the stored one still picks the plays.
    mgr->setVideoEchoServerEnabled(false);
    mgr->setEditingMode(kEditingModePreview, false);
    EXPECT_EQ(standin::liveEchoServers().at(0)->settings().editingMode, kEditingModeLive);
}

size_t connectedSlots(IDispatch& d) {
    return d.mediaPlayStateChanged.num_slots() + d.mediaBlack.num_slots() +
           d.videoEchoSendFrameEnabled.num_slots() + d.mediasAdded.num_slots() +
           d.mediaRemoved.num_slots();
}

// Five slots per dispatch, ended by removeDispatch or the manager's end; a running slot holds the
// manager's state, so the host dropping its last reference from inside a notification is safe.
TEST(Wiring, FiveSlotsPerDispatchEndWithRemoveDispatchOrTheManager) {
    auto mgr = std::make_shared<VideoEchoMgr>();
    auto dispatch = std::make_shared<IDispatch>();
    mgr->addDispatch(std::weak_ptr<IDispatch>());  // expired: connects nothing
    mgr->addDispatch(dispatch);
    EXPECT_EQ(connectedSlots(*dispatch), 5U);
    mgr->removeDispatch();
    EXPECT_EQ(connectedSlots(*dispatch), 0U);
    mgr->addDispatch(dispatch);
    mgr->addDispatch(std::make_shared<IDispatch>());  // a dispatch gone before the manager
    mgr->setEditingMode(kEditingModeLive, false);
    mgr->setBoundDisplayCardsQueryCallback([&](uint64_t, vantor::EditingMode) {
        mgr.reset();
        return std::vector<STDisplayCardId>{STDisplayCardId{"n", 1, "A", ""}};
    });
    dispatch->mediaPlayStateChanged(
        echotest::playState(echotest::uniqueMediaId(), kEditingModeLive, 1));
    EXPECT_EQ(mgr, nullptr);
    EXPECT_EQ(connectedSlots(*dispatch), 0U);
}

}  // namespace
}  // namespace tarn::mediadispatch
