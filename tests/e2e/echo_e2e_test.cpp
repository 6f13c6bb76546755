// End to end across two processes: frames handed to the dispatch plug-in of a source process are
// played byte for byte by the echo media of a forked viewer process, which follows its own frame
// delivery, black, stop and play; removal reaches both sides. The viewer answers each command line
// with "ok" or "fail".
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <thread>

#include <childprocess.h>
#include <host/imediamgr.h>
#include <tarnmediadispatchvideoecho/videoechodispatch.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "echotestsupport.h"
#include "standindispatch.h"

namespace tarn::mediadispatch {
namespace {

using Clock = std::chrono::steady_clock;
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
        echotest::PatternFrame f(width, height, seed);
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

// "expect SEED WIDTH HEIGHT": the player shows that frame within 5 s ("expect 0 0 0": no frame
// for 200 ms); the other commands notify the viewer and check that it took effect.
int runViewer(uint64_t id) {
    Side viewer(id, true);
    const auto echo = viewer.media.all().at(0);
    const auto player = echo->getPlayers("card-0").at(0).mediaPlayer.lock();
    // "quit" ends it: a forked child keeps its own copy of the pipe's writing end.
    for (std::string line; std::getline(std::cin, line) && line != "quit";) {
        std::string command;
        uint32_t seed = 0;
        int width = 0, height = 0;
        std::istringstream(line) >> command >> seed >> width >> height;
        bool ok = true;
        if (command == "expect") {
            const auto expected = echotest::PatternFrame::pattern(size_t(width) * height * 4, seed);
            const auto deadline = Clock::now() + std::chrono::milliseconds(width ? 5000 : 200);
            for (ok = !width; Clock::now() < deadline && ok == !width;) {
                const auto* frame = player->getFrame(0.0);
                ok = width ? echotest::frameEquals(frame, width, height, expected) : !frame;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        } else if (command == "enable" || command == "disable") {
            viewer.dispatch->frameEnabled(id, kMode, command == "enable");
        } else if (command == "black") {  // the flag is shown once
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
    const auto viewerDoes = [&](std::initializer_list<std::string> commands) {
        for (const auto& command : commands) {
            EXPECT_EQ(viewer.ask(command, ""), "ok " + command);
        }
    };
    viewerDoes({"expect"});
    Side source(id, false);
    source.frame(1, 320, 48);
    viewerDoes({"expect 1 320 48"});
    source.frame(20, 640, 640);  // a new size, the largest the channel carries
    viewerDoes({"expect 20 640 640", "disable", "expect"});
    source.frame(2, 64, 48);
    viewerDoes({"enable", "expect 2 64 48", "black", "stop", "expect", "play", "expect 2 64 48"});
    // With the writer and the echo media both gone, the channel disappears.
    source.dispatch->removed(id, kMode);
    viewerDoes({"remove"});
    viewer.send("quit");
    EXPECT_EQ(viewer.finish().exitCode, 0);
    EXPECT_FALSE(echotest::channelExists(echoKey(id, kMode)));
}

}  // namespace
}  // namespace tarn::mediadispatch
