// The manager's log lines: exact text, level, source file and function of each, and the paths that
// say nothing.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <sstream>

#include <host/idispatch.h>
#include <logcapture.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "echotestsupport.h"

namespace tarn::mediadispatch {
namespace {

using vantor::kEditingModeLive;

struct Scene {
    std::shared_ptr<VideoEchoMgr> mgr = std::make_shared<VideoEchoMgr>();
    std::shared_ptr<IDispatch> dispatch = std::make_shared<IDispatch>();
    echotest::RecordingMediaMgr media{false};  // keeps nothing: the host dropped its media
    const uint64_t id = echotest::uniqueMediaId();
    echotest::ChannelCleaner cleaner{{echoKey(id, kEditingModeLive)}};
    int device = 0;

    Scene() { mgr->addDispatch(dispatch); }
    // Runs the steps, separated by blanks; a number is a play state.
    void run(const std::string& steps) {
        std::istringstream in(steps);
        for (std::string step; in >> step;) {
            if (step.rfind("viewer", 0) == 0) {  // viewer[-no-card|-no-media-mgr]
                mgr->setVideoEchoServerEnabled(false);
                if (step != "viewer-no-card") {
                    mgr->onDeviceReady(STDisplayCardInfo{"n", 1, "c", "", &device});
                }
                mgr->setMediaMgr(step == "viewer-no-media-mgr" ? nullptr : &media);
            } else if (step == "add") {
                dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)});
            } else if (step == "remove") {
                dispatch->mediaRemoved(1, id, kEditingModeLive);
            } else if (step == "black") {
                dispatch->mediaBlack(1, id, kEditingModeLive);
            } else if (step == "disable") {
                dispatch->videoEchoSendFrameEnabled(id, kEditingModeLive, false);
            } else if (step == "null-device") {
                mgr->addEcho(STDisplayCardId{"n", 42, "A", ""}, nullptr);
            } else if (step == "unknown-card") {
                mgr->setVideoEchoId(STDisplayCardId{"n", 1, "Z", ""});
            } else if (step == "strategy") {
                VideoEchoSpliceStrategy strategy;
                strategy.addr.cardId.deviceId = "A";
                mgr->updateSpliceStrategy(strategy);
            } else {
                dispatch->mediaPlayStateChanged(
                    echotest::playState(id, kEditingModeLive, std::stoi(step)));
            }
        }
    }
};

TEST(ManagerLogLines, EachReadsExactlyAsSpecifiedAndComesOnce) {
    const auto info = spdlog::level::info;
    const auto warn = spdlog::level::warn;
    struct Case {
        const char* steps;
        std::string message;  // "ID" stands for the media id, "KEY" for its echo key
        const char* file;
        const char* function;
        spdlog::level::level_enum level;
    };
    const Case cases[] = {
        {"null-device", "device is nullptr, displayCardId is 42", "cardechoes.cpp", "addEcho",
         info},
        {"unknown-card", "videoEcho is null.", "cardechoes.cpp", "setVideoEchoId", warn},
        {"strategy", "device A, split stratery update failed!", "echoregistry.cpp",
         "updateSpliceStrategy", info},
        {"2", "check play state!", "dispatchwiring.cpp", "onMediaPlayStateChanged", info},
        {"add 1 0", "VideoEcho media is stop, mediaId:ID, editingMode:1", "framerouting.cpp",
         "onStopped", info},
        {"add add", "The id already exists, no need to create a new one.", "framerouting.cpp",
         "addSharedMemoryIPCServer", info},
        {"viewer-no-card add", "display card is empty!", "echomediaregistration.cpp", "addMedia",
         info},
        {"viewer-no-media-mgr add", "_mediaMgr is null.", "echomediaregistration.cpp", "addMedia",
         warn},
        {"viewer remove", "not find echo media, id:KEY", "echomediaregistration.cpp", "removeMedia",
         warn},
        {"viewer add remove", "media is null", "echomediaregistration.cpp", "removeMedia", warn},
        {"viewer disable", "media is null", "echomediaregistration.cpp",
         "onVideoEchoSendFrameEnabled", warn},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        Scene scene;
        testsupport::LogCapture log;
        scene.run(c.steps);
        const std::string message = std::regex_replace(
            std::regex_replace(c.message, std::regex("ID"), std::to_string(scene.id)),
            std::regex("KEY"), echoKey(scene.id, kEditingModeLive));
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1U);
        EXPECT_EQ(lines[0].level, c.level);
        EXPECT_TRUE(echotest::isLogLine(lines[0].text, message, c.file, c.function))
            << lines[0].text;
    }
    // Quiet: a stop without writer, black and frame delivery on the source side, and on the
    // viewer side a card without device, a play without echo media or bound cards, and black.
    Scene scene;
    testsupport::LogCapture log;
    scene.run("0 1 black disable viewer-no-card null-device 1 0 black");
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace tarn::mediadispatch
