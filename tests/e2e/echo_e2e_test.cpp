// End to end across two processes: frames handed to the dispatch plug-in of a source process are
// played byte for byte by the echo media of a forked viewer process, and stop, black, frame
// delivery and removal reach both sides. The viewer answers line commands with "ok" or "fail ...".
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <childprocess.h>
#include <host/imediamgr.h>
#include <tarnmediadispatchvideoecho/echomedia.h>
#include <tarnmediadispatchvideoecho/videoechodispatch.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "echotestsupport.h"
#include "standindispatch.h"

namespace tarn::mediadispatch {
namespace {

using Clock = std::chrono::steady_clock;
using echotest::PatternFrame;
constexpr vantor::EditingMode kMode = vantor::kEditingModeLive;

// One side: a manager, its dispatch plug-in and the host's dispatch that notifies it.
struct Side {
    Side(uint64_t id, bool viewer) : id(id) {
        mgr->setVideoEchoServerEnabled(!viewer);
        plugin->setVideoEchoMgr(mgr);
        plugin->setMediaMgr(&media);
        mgr->addDispatch(dispatch);
        mgr->onDeviceReady(STDisplayCardInfo{"viewer-node", 1, "card-0", "", &device});
        dispatch->announce(id, kMode);
        dispatch->playing(id, kMode);
    }
    void frame(uint32_t seed, int width, int height) {
        PatternFrame f(width, height, seed);
        plugin->updateFrameData(echotest::mediaInfo(id, kMode), f.get());
    }

    const uint64_t id;
    int device = 0;
    vantor::MediaMgr media;
    std::shared_ptr<VideoEchoMgr> mgr = std::make_shared<VideoEchoMgr>();
    std::shared_ptr<VideoEchoDispatch> plugin = std::make_shared<VideoEchoDispatch>();
    std::shared_ptr<echotest::StandInDispatch> dispatch =
        std::make_shared<echotest::StandInDispatch>();
};

// Whether the player shows the frame of `seed` within `wait` or, for width 0, no frame throughout.
bool shows(qv::mediacore::IMediaPlayer& player, uint32_t seed, int width, int height) {
    const auto expected = PatternFrame::pattern(size_t(width) * height * 4, seed);
    const auto wait = std::chrono::milliseconds(width == 0 ? 200 : 5000);
    for (const auto deadline = Clock::now() + wait; Clock::now() < deadline;) {
        const auto* frame = player.getFrame(0.0);
        if (width == 0 && frame != nullptr) {
            return false;
        }
        if (width != 0 && echotest::frameEquals(frame, width, height, expected)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return width == 0;
}

int runViewer(uint64_t id) {
    Side viewer(id, true);
    const auto echo =
        std::dynamic_pointer_cast<vantor::mediadispatch::EchoMedia>(viewer.media.all().at(0));
    const auto player = echo->getPlayers("card-0").at(0).mediaPlayer.lock();
    std::string line;
    // "quit" ends it: a forked child keeps its own copy of the pipe's writing end, so it sees no
    // end of input.
    while (std::getline(std::cin, line) && line != "quit") {
        std::istringstream in(line);
        std::string command;
        uint32_t seed = 0;
        int width = 0, height = 0;
        in >> command >> seed >> width >> height;
        bool ok = true;
        if (command == "expect") {  // "expect 0 0 0": no frame for a while
            ok = shows(*player, seed, width, height);
        } else if (command == "enable" || command == "disable") {
            viewer.dispatch->frameEnabled(id, kMode, command == "enable");
        } else if (command == "black") {
            viewer.dispatch->black(id, kMode);
            ok = echo->getPlayers("")[0].isBlack && !echo->getPlayers("")[0].isBlack;
        } else if (command == "stop" || command == "play") {
            command == "stop" ? viewer.dispatch->stopped(id, kMode)
                              : viewer.dispatch->playing(id, kMode);
            ok = player->getPlayState() == (command == "stop" ? qv::mediacore::kPlayerStateStopped
                                                              : qv::mediacore::kPlayerStatePlaying);
        } else if (command == "remove") {
            viewer.dispatch->removed(id, kMode);
            ok = viewer.media.size() == 0;
        }
        std::cout << (ok ? "ok " : "fail ") << line << std::endl;
    }
    return 0;
}

TEST(EchoEndToEnd, ViewerPlaysALateSourceByteForByteAndFollowsStopBlackEnableAndRemoval) {
    const uint64_t id = echotest::uniqueMediaId();
    echotest::ChannelCleaner cleaner{{echoKey(id, kMode)}};
    testsupport::ChildProcess viewer{[id] { return runViewer(id); }};
    ASSERT_TRUE(viewer.started());
    const auto ask = [&](const std::string& command) {
        const std::string answer = viewer.ask(command, "", std::chrono::seconds(10));
        return answer == "ok " + command ? "ok" : answer;
    };
    EXPECT_EQ(ask("expect 0 0 0"), "ok");
    Side source(id, false);
    source.frame(1, 320, 48);
    EXPECT_EQ(ask("expect 1 320 48"), "ok");
    source.frame(20, 640, 640);  // a new size, the largest the channel carries
    EXPECT_EQ(ask("expect 20 640 640"), "ok");
    EXPECT_EQ(ask("disable"), "ok");
    EXPECT_EQ(ask("expect 0 0 0"), "ok");
    source.frame(2, 64, 48);
    EXPECT_EQ(ask("enable"), "ok");
    EXPECT_EQ(ask("expect 2 64 48"), "ok");
    EXPECT_EQ(ask("black"), "ok");
    // Stopped on the source: the writer lets go of the channel and its frames no longer reach it.
    source.dispatch->stopped(id, kMode);
    source.frame(3, 64, 48);
    EXPECT_EQ(ask("expect 0 0 0"), "ok");
    source.dispatch->playing(id, kMode);
    source.frame(4, 64, 48);
    EXPECT_EQ(ask("expect 4 64 48"), "ok");
    EXPECT_EQ(ask("stop"), "ok");
    EXPECT_EQ(ask("expect 0 0 0"), "ok");
    EXPECT_EQ(ask("play"), "ok");
    EXPECT_EQ(ask("expect 4 64 48"), "ok");
    // With the writer and the echo media both gone, the channel disappears.
    source.dispatch->removed(id, kMode);
    EXPECT_EQ(ask("remove"), "ok");
    viewer.send("quit");
    EXPECT_EQ(viewer.finish().exitCode, 0);
    EXPECT_FALSE(echotest::channelExists(echoKey(id, kMode)));
}

}  // namespace
}  // namespace tarn::mediadispatch
