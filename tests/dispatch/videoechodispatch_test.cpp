// VideoEchoDispatch: frames forwarded on the calling thread, the media manager forwarded at once,
// editing-mode changes posted to the runtime's task queue, and the interface's default answers.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <logcapture.h>
#include <tarnmediadispatchvideoecho/videoechodispatch.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "echotestsupport.h"
#include "recordingruntime.h"

namespace tarn::mediadispatch {
namespace {

// Records what the dispatch forwards; the rest is the real manager.
struct RecordingMgr : VideoEchoMgr {
    std::vector<std::pair<const qv::mediacore::IFrame*, std::thread::id>> frames;
    std::vector<std::pair<EditingMode, bool>> modes;
    std::vector<vantor::IMediaMgr*> mediaMgrs;

    void updateFrameData(const MediaInfo&, const qv::mediacore::IFrame* frame) override {
        frames.emplace_back(frame, std::this_thread::get_id());
    }
    void setEditingMode(EditingMode mode, bool flag) override { modes.emplace_back(mode, flag); }
    void setMediaMgr(vantor::IMediaMgr* mgr) override { mediaMgrs.push_back(mgr); }
};

// Keeps posted tasks, and the function each post names, until the test runs them.
struct ManualRuntime : testing::RecordingRuntime {
    std::vector<std::function<void()>> tasks;
    std::vector<std::string> posters;

    void postTask(const std::function<void()>& task, const char* file, int,
                  const char* function) override {
        tasks.push_back(task);
        posters.push_back(std::string(file).substr(std::string(file).rfind('/') + 1) + ":" +
                          function);
    }
    void runAll() {
        for (auto& task : std::exchange(tasks, {})) {
            task();
        }
    }
};

class Dispatch : public ::testing::Test {
protected:
    std::shared_ptr<RecordingMgr> mgr = std::make_shared<RecordingMgr>();
    std::shared_ptr<VideoEchoDispatch> dispatch = std::make_shared<VideoEchoDispatch>();
    ManualRuntime runtime;
    qv::mediacore::IFrame frame;
    vantor::MediaMgr host;
};

TEST_F(Dispatch, FramesAndMediaManagerGoToTheLiveManagerAtOnceOrWarnAndEditingModeRunsAsATask) {
    testsupport::LogCapture log;
    dispatch->updateFrameData(MediaInfo(), &frame);  // no manager yet: dropped
    dispatch->setMediaMgr(&host);
    dispatch->setVideoEchoMgr(mgr);
    std::thread::id caller;
    std::thread([&] {
        caller = std::this_thread::get_id();
        dispatch->updateFrameData(MediaInfo(), &frame);
    }).join();
    dispatch->setMediaMgr(&host);
    EXPECT_EQ(mgr->frames, (decltype(mgr->frames){{&frame, caller}}));
    EXPECT_EQ(mgr->mediaMgrs, std::vector<vantor::IMediaMgr*>{&host});
    dispatch->setVideoEchoMgr(std::make_shared<RecordingMgr>());  // gone at once
    dispatch->updateFrameData(MediaInfo(), &frame);
    dispatch->setMediaMgr(&host);
    EXPECT_EQ(mgr->frames.size(), 1U);
    EXPECT_EQ(log.lines().size(), 2U);
    EXPECT_EQ(log.count(spdlog::level::warn, "sharedVideoEchoMgr is nullptr!",
                        "videoechodispatch.cpp", "setMediaMgr"),
              2U);

    // The editing mode runs as a task of the runtime.
    dispatch->setVideoEchoMgr(mgr);
    dispatch->setEditingMode(vantor::kEditingModeLive, true);  // no runtime yet: a warning
    ASSERT_EQ(log.lines().size(), 3U);
    EXPECT_EQ(log.lines()[2].level, spdlog::level::warn);
    dispatch->setQVRuntime(&runtime);
    dispatch->setEditingMode(vantor::kEditingModePreview, true);
    EXPECT_EQ(runtime.posters, std::vector<std::string>{"videoechodispatch.cpp:setEditingMode"});
    EXPECT_TRUE(mgr->modes.empty());
    runtime.runAll();
    EXPECT_EQ(mgr->modes,
              (std::vector<std::pair<EditingMode, bool>>{{vantor::kEditingModePreview, true}}));
    // A task whose dispatch is gone when it runs does nothing.
    dispatch->setEditingMode(vantor::kEditingModeLive, false);
    dispatch.reset();
    runtime.runAll();
    EXPECT_EQ(mgr->modes.size(), 1U);
}

TEST_F(Dispatch, DefaultOperationsGiveTheInterfacesAnswers) {
    IDispatch& d = *dispatch;
    EXPECT_EQ(d.editingMode(), 4096);
    EXPECT_EQ(d.currentLayoutId(), -1);
    EXPECT_EQ(d.name(), "");
    EXPECT_EQ(d.mediaCount(), 0);
    EXPECT_EQ(d.playState(1, vantor::kEditingModeLive), 0);
    EXPECT_FALSE(d.isReady() || d.isPlaying(1, vantor::kEditingModeLive) || d.isSyncEnabled() ||
                 d.isEchoDispatch());
    EXPECT_TRUE(d.getMedias().empty() && d.getPlayingMedias(vantor::kEditingModeLive).empty() &&
                d.getMediasOfCard(1).empty());
    EXPECT_EQ(d.getPlayRange(1), (std::pair<uint64_t, uint64_t>{0, 0}));
}

}  // namespace
}  // namespace tarn::mediadispatch
