// End to end across two processes: frames handed to the dispatch plug-in of a source process are
// played back byte for byte by the echo media of a viewer process; stop, black, frame delivery and
// removal reach both sides.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include <tarnmediadispatchvideoecho/videoechodispatch.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "childprocess.h"
#include "echotestsupport.h"
#include "standindispatch.h"
#include "viewerprocess.h"

namespace tarn::mediadispatch {
namespace {

using echotest::PatternFrame;
using std::chrono::milliseconds;

constexpr vantor::EditingMode kMode = vantor::kEditingModeLive;

class SourceProcess {
public:
    explicit SourceProcess(uint64_t mediaId) : mediaId_(mediaId) {
        plugin_->setVideoEchoMgr(mgr_);
        mgr_->addDispatch(dispatch_);
        dispatch_->announce(mediaId_, kMode);
        dispatch_->playing(mediaId_, kMode);
    }
    void frame(uint32_t seed, int width, int height) {
        PatternFrame f(width, height, seed);
        plugin_->updateFrameData(echotest::mediaInfo(mediaId_, kMode), f.get());
    }
    echotest::StandInDispatch& dispatch() { return *dispatch_; }

private:
    const uint64_t mediaId_;
    std::shared_ptr<VideoEchoMgr> mgr_ = std::make_shared<VideoEchoMgr>();
    std::shared_ptr<VideoEchoDispatch> plugin_ = std::make_shared<VideoEchoDispatch>();
    std::shared_ptr<echotest::StandInDispatch> dispatch_ =
        std::make_shared<echotest::StandInDispatch>();
};

std::string frameArgs(uint32_t seed, int width, int height) {
    return std::to_string(seed) + " " + std::to_string(width) + " " + std::to_string(height);
}

class EchoEndToEnd : public ::testing::Test {
protected:
    EchoEndToEnd() : cleaner({echoKey(id, kMode)}) {}
    std::unique_ptr<echotest::ChildProcess> startViewer() {
        auto child = std::make_unique<echotest::ChildProcess>(
            std::vector<std::string>{"e2e_tests", echotest::kViewerSwitch, std::to_string(id),
                                     std::to_string(static_cast<int>(kMode))});
        return child;
    }

    const uint64_t id = echotest::uniqueMediaId();
    echotest::ChannelCleaner cleaner;
};

TEST_F(EchoEndToEnd, ViewerPlaysTheSourcesFramesByteForByte) {
    SourceProcess source(id);
    source.frame(1, 320, 180);
    auto viewer = startViewer();
    ASSERT_TRUE(viewer->started());
    ASSERT_EQ(viewer->readLine(milliseconds(15000)), "ok");
    EXPECT_EQ(viewer->ask("expect " + frameArgs(1, 320, 180)), "ok");
    for (uint32_t seed = 2; seed < 12; ++seed) {
        source.frame(seed, 640, 360);
        ASSERT_EQ(viewer->ask("expect " + frameArgs(seed, 640, 360)), "ok") << seed;
    }
    EXPECT_EQ(viewer->ask("hold " + frameArgs(11, 640, 360)), "ok");  // no frame, no change
    source.frame(20, 640, 640);  // the largest frame the channel carries
    EXPECT_EQ(viewer->ask("expect " + frameArgs(20, 640, 640)), "ok");
    EXPECT_EQ(viewer->ask("quit", milliseconds(100)), "eof");
    EXPECT_EQ(viewer->wait(milliseconds(10000)), 0);
}

TEST_F(EchoEndToEnd, StopBlackFrameEnableAndRemovalReachBothSides) {
    SourceProcess source(id);
    auto viewer = startViewer();
    ASSERT_TRUE(viewer->started());
    ASSERT_EQ(viewer->readLine(milliseconds(15000)), "ok");
    source.frame(1, 64, 48);
    ASSERT_EQ(viewer->ask("expect " + frameArgs(1, 64, 48)), "ok");

    // Frame delivery switched off on the viewer; the source keeps writing.
    EXPECT_EQ(viewer->ask("disable"), "ok");
    source.frame(2, 64, 48);
    EXPECT_EQ(viewer->ask("enable"), "ok");
    EXPECT_EQ(viewer->ask("expect " + frameArgs(2, 64, 48)), "ok");

    EXPECT_EQ(viewer->ask("black"), "ok");

    // Stopped on the source: the writer lets go of the channel and its frames no longer reach it.
    source.dispatch().stopped(id, kMode);
    source.frame(3, 64, 48);
    EXPECT_EQ(viewer->ask("none"), "ok");
    source.dispatch().playing(id, kMode);
    source.frame(4, 64, 48);
    EXPECT_EQ(viewer->ask("expect " + frameArgs(4, 64, 48)), "ok");

    // Stopped on the viewer, then played again.
    EXPECT_EQ(viewer->ask("stop"), "ok");
    EXPECT_EQ(viewer->ask("play"), "ok");
    EXPECT_EQ(viewer->ask("expect " + frameArgs(4, 64, 48)), "ok");

    // Removal: the source drops its writer, the viewer unregisters its echo media; with both gone
    // the channel disappears.
    source.dispatch().removed(id, kMode);
    source.frame(5, 64, 48);
    EXPECT_EQ(viewer->ask("remove"), "ok");
    EXPECT_EQ(viewer->ask("quit", milliseconds(100)), "eof");
    EXPECT_EQ(viewer->wait(milliseconds(10000)), 0);
    EXPECT_FALSE(echotest::channelExists(echoKey(id, kMode)));
}

TEST_F(EchoEndToEnd, ViewerWithoutSourceSeesNoFrameAndFollowsALateSource) {
    auto viewer = startViewer();
    ASSERT_TRUE(viewer->started());
    ASSERT_EQ(viewer->readLine(milliseconds(15000)), "ok");
    EXPECT_EQ(viewer->ask("none"), "ok");
    SourceProcess source(id);
    source.frame(9, 128, 72);
    EXPECT_EQ(viewer->ask("expect " + frameArgs(9, 128, 72)), "ok");
    EXPECT_EQ(viewer->ask("quit", milliseconds(100)), "eof");
    EXPECT_EQ(viewer->wait(milliseconds(10000)), 0);
}

}  // namespace
}  // namespace tarn::mediadispatch
