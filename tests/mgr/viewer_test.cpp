// The viewer side: an echo media per dispatched media, tied to the first ready card, registered
// with the host's media manager and unregistered once; the role is read at every notification.
#include <gtest/gtest.h>

#include <memory>

#include <host/idispatch.h>
#include <tarnmediadispatchvideoecho/echomedia.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "echotestsupport.h"

namespace tarn::mediadispatch {
namespace {

using vantor::kEditingModeLive;
using vantor::mediadispatch::EchoMedia;

TEST(Viewer, EchoMediaPerMediaOnTheFirstCardRemovedOnceAndTheRoleReadEachTime) {
    const uint64_t id = echotest::uniqueMediaId();
    echotest::ChannelCleaner cleaner{
        {echoKey(id, kEditingModeLive), echoKey(id + 1, kEditingModeLive)}};
    int deviceA = 0, deviceB = 0;
    echotest::RecordingMediaMgr media;
    auto mgr = std::make_shared<VideoEchoMgr>();
    auto dispatch = std::make_shared<IDispatch>();
    mgr->setVideoEchoServerEnabled(false);
    mgr->setMediaMgr(&media);
    mgr->addDispatch(dispatch);
    mgr->onDeviceReady(STDisplayCardInfo{"n", 5, "first", "", &deviceA});
    mgr->onDeviceReady(STDisplayCardInfo{"n", 6, "second", "", &deviceB});

    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive, true)});
    dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
    ASSERT_EQ(media.added().size(), 2U);
    const auto m = std::dynamic_pointer_cast<EchoMedia>(media.held(0));
    ASSERT_NE(m, nullptr);
    EXPECT_NE(m->id(), id);  // a fresh id, not the dispatched media's
    EXPECT_EQ(m->editingMode(), kEditingModeLive);
    const auto players = m->getPlayers("first");
    ASSERT_EQ(players.size(), 1U);
    EXPECT_TRUE(players[0].mediaFlag);  // the echo media negates the negated flag
    ASSERT_EQ(players[0].spliceSources.size(), 1U);
    EXPECT_EQ(players[0].spliceSources[0].id, id);
    EXPECT_EQ(players[0].spliceSources[0].width, 0.0F);
    EXPECT_TRUE(m->getPlayers("second").empty());

    dispatch->mediaRemoved(1, id, kEditingModeLive);
    dispatch->mediaRemoved(1, id, kEditingModeLive);
    const auto removed = media.removed();
    ASSERT_EQ(removed.size(), 1U);
    EXPECT_EQ(removed[0].first, m->id());  // the first tracked one
    EXPECT_EQ(removed[0].second, kEditingModeLive);

    mgr->setVideoEchoServerEnabled(true);
    dispatch->mediasAdded({echotest::mediaInfo(id + 1, kEditingModeLive)});
    EXPECT_EQ(media.added().size(), 2U);  // a writer instead
    mgr->setVideoEchoServerEnabled(false);
    dispatch->mediasAdded({echotest::mediaInfo(id + 2, kEditingModeLive)});
    EXPECT_EQ(media.added().size(), 3U);
}

}  // namespace
}  // namespace tarn::mediadispatch
