// Wiring to dispatch plug-ins: five slots connected per addDispatch, disconnected by removeDispatch
// and by the manager's destruction; destruction in any order leaves nothing dangling.
#include <gtest/gtest.h>

#include <memory>

#include <host/idispatch.h>
#include <logcapture.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "echotestsupport.h"

namespace tarn::mediadispatch {
namespace {

size_t connectedSlots(IDispatch& d) {
    return d.mediaPlayStateChanged.num_slots() + d.mediaBlack.num_slots() +
           d.videoEchoSendFrameEnabled.num_slots() + d.mediasAdded.num_slots() +
           d.mediaRemoved.num_slots();
}

class Wiring : public ::testing::Test {
protected:
    std::shared_ptr<VideoEchoMgr> mgr = std::make_shared<VideoEchoMgr>();
    std::shared_ptr<IDispatch> dispatch = std::make_shared<IDispatch>();
};

TEST_F(Wiring, AddDispatchConnectsTheFiveSignalsOnly) {
    mgr->addDispatch(dispatch);
    EXPECT_EQ(dispatch->mediaPlayStateChanged.num_slots(), 1U);
    EXPECT_EQ(dispatch->mediaBlack.num_slots(), 1U);
    EXPECT_EQ(dispatch->videoEchoSendFrameEnabled.num_slots(), 1U);
    EXPECT_EQ(dispatch->mediasAdded.num_slots(), 1U);
    EXPECT_EQ(dispatch->mediaRemoved.num_slots(), 1U);
    EXPECT_EQ(dispatch->mediasUpdated.num_slots(), 0U);
    EXPECT_EQ(dispatch->mediaUnblack.num_slots(), 0U);
    EXPECT_EQ(dispatch->mediaAudioEnabled.num_slots(), 0U);
}

TEST_F(Wiring, ExpiredDispatchConnectsNothingAndRemoveDispatchStillWorks) {
    std::weak_ptr<IDispatch> gone;
    {
        auto temporary = std::make_shared<IDispatch>();
        gone = temporary;
    }
    mgr->addDispatch(gone);
    mgr->removeDispatch();
    mgr->addDispatch(dispatch);
    EXPECT_EQ(connectedSlots(*dispatch), 5U);
}

TEST_F(Wiring, RemoveDispatchDisconnectsEveryDispatch) {
    auto second = std::make_shared<IDispatch>();
    mgr->addDispatch(dispatch);
    mgr->addDispatch(second);
    mgr->removeDispatch();
    EXPECT_EQ(connectedSlots(*dispatch), 0U);
    EXPECT_EQ(connectedSlots(*second), 0U);
}

TEST_F(Wiring, SameDispatchAddedTwiceHandlesEachNotificationTwice) {
    testsupport::LogCapture log;
    mgr->addDispatch(dispatch);
    mgr->addDispatch(dispatch);
    EXPECT_EQ(connectedSlots(*dispatch), 10U);
    const uint64_t id = echotest::uniqueMediaId();
    echotest::ChannelCleaner cleaner({echoKey(id, vantor::kEditingModeLive)});
    dispatch->mediasAdded({echotest::mediaInfo(id, vantor::kEditingModeLive)});
    // The second handling finds the writer of the first.
    EXPECT_EQ(log.startingWith("The id already exists, no need to create a new one.").size(), 1U);
}

TEST_F(Wiring, DestroyingTheManagerLeavesTheDispatchWithoutItsSlots) {
    mgr->addDispatch(dispatch);
    mgr.reset();
    EXPECT_EQ(connectedSlots(*dispatch), 0U);
    dispatch->mediasAdded({echotest::mediaInfo(1, vantor::kEditingModeLive)});  // reaches nothing
}

TEST_F(Wiring, DispatchDestroyedBeforeTheManagerIsHarmless) {
    mgr->addDispatch(dispatch);
    dispatch.reset();
    mgr->removeDispatch();
    mgr->addDispatch(std::weak_ptr<IDispatch>());
    mgr.reset();
    SUCCEED();
}

// A slot in progress holds the manager's state: the host dropping its last reference to the
// manager from inside a notification must not pull the state from under the running slot.
TEST_F(Wiring, ManagerDroppedInsideANotificationFinishesTheSlotSafely) {
    int queried = 0;
    mgr->setEditingMode(vantor::kEditingModeLive, false);
    mgr->setBoundDisplayCardsQueryCallback([&](uint64_t, vantor::EditingMode) {
        ++queried;
        mgr.reset();  // the last strong reference
        return std::vector<STDisplayCardId>{STDisplayCardId{"n", 1, "A", ""}};
    });
    mgr->addDispatch(dispatch);
    const uint64_t id = echotest::uniqueMediaId();
    dispatch->mediaPlayStateChanged(echotest::playState(id, vantor::kEditingModeLive, 1));
    EXPECT_EQ(queried, 1);
    EXPECT_EQ(mgr, nullptr);
    EXPECT_EQ(connectedSlots(*dispatch), 0U);
}

}  // namespace
}  // namespace tarn::mediadispatch
