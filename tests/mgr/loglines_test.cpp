// The manager's log lines: exact text, level, source file and function of each.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

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
    void viewer(bool withCard, bool withMediaMgr) {
        mgr->setVideoEchoServerEnabled(false);
        if (withCard) {
            mgr->onDeviceReady(STDisplayCardInfo{"n", 1, "c", "", &device});
        }
        mgr->setMediaMgr(withMediaMgr ? &media : nullptr);
    }
    void add() { dispatch->mediasAdded({echotest::mediaInfo(id, kEditingModeLive)}); }
    void play(int state) {
        dispatch->mediaPlayStateChanged(echotest::playState(id, kEditingModeLive, state));
    }
};

struct Case {
    const char* name;
    std::function<void(Scene&)> act;
    std::function<std::string(const Scene&)> message;
    const char* file;
    const char* function;
    spdlog::level::level_enum level;
};

std::function<std::string(const Scene&)> text(const std::string& message) {
    return [message](const Scene&) { return message; };
}

TEST(ManagerLogLines, EachReadsExactlyAsSpecifiedAndComesOnce) {
    const auto info = spdlog::level::info;
    const auto warn = spdlog::level::warn;
    const Case cases[] = {
        {"null device",
         [](Scene& s) {
             s.mgr->addEcho(STDisplayCardId{"n", 42, "A", ""}, nullptr);
         },
         text("device is nullptr, displayCardId is 42"), "cardechoes.cpp", "addEcho", info},
        {"unknown card id",
         [](Scene& s) {
             s.mgr->setVideoEchoId(STDisplayCardId{"n", 1, "Z", ""});
         },
         text("videoEcho is null."), "cardechoes.cpp", "setVideoEchoId", warn},
        {"strategy without player",
         [](Scene& s) {
             VideoEchoSpliceStrategy strategy;
             strategy.addr.cardId.deviceId = "A";
             s.mgr->updateSpliceStrategy(strategy);
         },
         text("device A, split stratery update failed!"), "echoregistry.cpp",
         "updateSpliceStrategy", info},
        {"unknown play state", [](Scene& s) { s.play(2); }, text("check play state!"),
         "dispatchwiring.cpp", "onMediaPlayStateChanged", info},
        {"writer stopped",
         [](Scene& s) {
             s.add();
             s.play(1);
             s.play(0);
         },
         [](const Scene& s) {
             return "VideoEcho media is stop, mediaId:" + std::to_string(s.id) + ", editingMode:1";
         },
         "framerouting.cpp", "onStopped", info},
        {"key added twice",
         [](Scene& s) {
             s.add();
             s.add();
         },
         text("The id already exists, no need to create a new one."), "framerouting.cpp",
         "addSharedMemoryIPCServer", info},
        {"no ready card",
         [](Scene& s) {
             s.viewer(false, true);
             s.add();
         },
         text("display card is empty!"), "echomediaregistration.cpp", "addMedia", info},
        {"no media manager",
         [](Scene& s) {
             s.viewer(true, false);
             s.add();
         },
         text("_mediaMgr is null."), "echomediaregistration.cpp", "addMedia", warn},
        {"unknown echo media removed",
         [](Scene& s) {
             s.viewer(true, true);
             s.dispatch->mediaRemoved(1, s.id, kEditingModeLive);
         },
         [](const Scene& s) {
             return "not find echo media, id:" + echoKey(s.id, kEditingModeLive);
         },
         "echomediaregistration.cpp", "removeMedia", warn},
        {"echo media dropped by the host",
         [](Scene& s) {
             s.viewer(true, true);
             s.add();
             s.dispatch->mediaRemoved(1, s.id, kEditingModeLive);
         },
         text("media is null"), "echomediaregistration.cpp", "removeMedia", warn},
        {"frame enable of unknown media",
         [](Scene& s) {
             s.viewer(true, true);
             s.dispatch->videoEchoSendFrameEnabled(s.id, kEditingModeLive, false);
         },
         text("media is null"), "echomediaregistration.cpp", "onVideoEchoSendFrameEnabled", warn},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scene scene;
        testsupport::LogCapture log;
        c.act(scene);
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1U);
        EXPECT_EQ(lines[0].level, c.level);
        EXPECT_TRUE(echotest::isLogLine(lines[0].text, c.message(scene), c.file, c.function))
            << lines[0].text;
    }
}

// What the manager does without saying anything.
TEST(ManagerLogLines, QuietPaths) {
    Scene s;
    testsupport::LogCapture log;
    s.play(0);  // stop of a media without writer
    s.play(1);
    s.dispatch->mediaBlack(1, s.id, kEditingModeLive);  // the source side has no echo media
    s.dispatch->videoEchoSendFrameEnabled(s.id, kEditingModeLive, false);
    s.viewer(false, true);
    s.mgr->addEcho(STDisplayCardId{"n", 1, "A", ""}, nullptr);  // no server on the viewer side
    s.play(1);                                                  // no echo media, no bound cards
    s.play(0);
    s.dispatch->mediaBlack(1, s.id, kEditingModeLive);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace tarn::mediadispatch
