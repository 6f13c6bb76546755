// VideoEchoDispatch: forwarding of frames (on the calling thread), of the media manager and of
// editing-mode changes (through the runtime's task queue), and the interface's default answers.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <host/inprocessruntime.h>
#include <logcapture.h>
#include <tarnmediadispatchvideoecho/videoechodispatch.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

namespace tarn::mediadispatch {
namespace {

// Records what the dispatch forwards; the rest is the real manager.
class RecordingMgr : public VideoEchoMgr {
public:
    struct Calls {
        std::mutex mutex;
        std::vector<std::pair<uint64_t, const qv::mediacore::IFrame*>> frames;
        std::vector<std::thread::id> frameThreads;
        std::vector<std::pair<EditingMode, bool>> modes;
        std::vector<std::thread::id> modeThreads;
        std::vector<vantor::IMediaMgr*> mediaMgrs;
    };
    explicit RecordingMgr(std::shared_ptr<Calls> calls) : calls_(std::move(calls)) {}

    void updateFrameData(const MediaInfo& info, const qv::mediacore::IFrame* frame) override {
        std::lock_guard<std::mutex> lock(calls_->mutex);
        calls_->frames.emplace_back(info.mediaId, frame);
        calls_->frameThreads.push_back(std::this_thread::get_id());
    }
    void setEditingMode(EditingMode mode, bool flag) override {
        std::lock_guard<std::mutex> lock(calls_->mutex);
        calls_->modes.emplace_back(mode, flag);
        calls_->modeThreads.push_back(std::this_thread::get_id());
    }
    void setMediaMgr(vantor::IMediaMgr* mgr) override {
        std::lock_guard<std::mutex> lock(calls_->mutex);
        calls_->mediaMgrs.push_back(mgr);
    }

private:
    std::shared_ptr<Calls> calls_;
};

// Keeps posted tasks until the test runs them, and what each post said about itself.
class ManualRuntime : public vantor::IQVRuntime {
public:
    struct Post {
        std::string file;
        int line;
        std::string function;
    };
    void postTask(const std::function<void()>& task, const char* file, int line,
                  const char* function) override {
        tasks.push_back(task);
        posts.push_back({file, line, function});
    }
    void registerHandler(const char*, vantor::RPCHandler) override {}
    void unregisterHandler(const char*) override {}
    void publish(const char*, const char*, unsigned) override {}
    void runAll() {
        auto pending = std::move(tasks);
        tasks.clear();
        for (auto& task : pending) {
            task();
        }
    }
    std::vector<std::function<void()>> tasks;
    std::vector<Post> posts;
};

class Dispatch : public ::testing::Test {
protected:
    std::shared_ptr<RecordingMgr::Calls> calls = std::make_shared<RecordingMgr::Calls>();
    std::shared_ptr<RecordingMgr> mgr = std::make_shared<RecordingMgr>(calls);
    std::shared_ptr<VideoEchoDispatch> dispatch = std::make_shared<VideoEchoDispatch>();
    qv::mediacore::IFrame frame;
};

TEST_F(Dispatch, FramesBeforeAManagerIsSetAreDroppedSilently) {
    testsupport::LogCapture log;
    MediaInfo info;
    info.mediaId = 3;
    dispatch->updateFrameData(info, &frame);
    EXPECT_TRUE(log.lines().empty());
    dispatch->setVideoEchoMgr(mgr);
    dispatch->updateFrameData(info, &frame);
    ASSERT_EQ(calls->frames.size(), 1U);
}

TEST_F(Dispatch, FramesAreForwardedOnTheCallingThreadWithoutCopy) {
    dispatch->setVideoEchoMgr(mgr);
    MediaInfo info;
    info.mediaId = 12345678901234567890ULL;
    std::thread::id caller;
    std::thread([&] {
        caller = std::this_thread::get_id();
        dispatch->updateFrameData(info, &frame);
    }).join();
    ASSERT_EQ(calls->frames.size(), 1U);
    EXPECT_EQ(calls->frames[0].first, info.mediaId);
    EXPECT_EQ(calls->frames[0].second, &frame);
    EXPECT_EQ(calls->frameThreads[0], caller);
}

TEST_F(Dispatch, DestroyedManagerTurnsForwardingIntoNothing) {
    dispatch->setVideoEchoMgr(mgr);
    mgr.reset();
    MediaInfo info;
    dispatch->updateFrameData(info, &frame);
    EXPECT_TRUE(calls->frames.empty());
}

TEST_F(Dispatch, SetMediaMgrForwardsToTheManager) {
    vantor::MediaMgr host;
    dispatch->setVideoEchoMgr(mgr);
    dispatch->setMediaMgr(&host);
    ASSERT_EQ(calls->mediaMgrs.size(), 1U);
    EXPECT_EQ(calls->mediaMgrs[0], &host);
}

TEST_F(Dispatch, SetMediaMgrWithoutLiveManagerWarnsOncePerCall) {
    vantor::MediaMgr host;
    dispatch->setVideoEchoMgr(mgr);
    mgr.reset();
    testsupport::LogCapture log;
    dispatch->setMediaMgr(&host);
    dispatch->setMediaMgr(&host);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2U);
    for (const auto& line : lines) {
        EXPECT_EQ(line.level, spdlog::level::warn);
        EXPECT_EQ(line.text.rfind("sharedVideoEchoMgr is nullptr! \n //videoechodispatch.cpp:"
                                  "setMediaMgr()#",
                                  0),
                  0U)
            << line.text;
    }
    EXPECT_TRUE(calls->mediaMgrs.empty());
}

TEST_F(Dispatch, EditingModeRunsOnTheRuntimesTaskThread) {
    host::InProcessRuntime runtime;
    dispatch->setQVRuntime(&runtime);
    dispatch->setVideoEchoMgr(mgr);
    dispatch->setEditingMode(vantor::kEditingModePreview, true);
    runtime.drainTasks();
    std::lock_guard<std::mutex> lock(calls->mutex);
    ASSERT_EQ(calls->modes.size(), 1U);
    EXPECT_EQ(calls->modes[0].first, vantor::kEditingModePreview);
    EXPECT_TRUE(calls->modes[0].second);
    EXPECT_NE(calls->modeThreads[0], std::this_thread::get_id());
}

TEST_F(Dispatch, EditingModeTaskCarriesItsSourceLocation) {
    ManualRuntime runtime;
    dispatch->setQVRuntime(&runtime);
    dispatch->setVideoEchoMgr(mgr);
    dispatch->setEditingMode(vantor::kEditingModeLive, false);
    ASSERT_EQ(runtime.posts.size(), 1U);
    EXPECT_EQ(runtime.posts[0].line, 58);
    EXPECT_EQ(runtime.posts[0].function, "setEditingMode");
    EXPECT_NE(runtime.posts[0].file.find("videoechodispatch.cpp"), std::string::npos);
    EXPECT_TRUE(calls->modes.empty());  // not on the caller's thread
    runtime.runAll();
    ASSERT_EQ(calls->modes.size(), 1U);
    EXPECT_EQ(calls->modes[0].first, vantor::kEditingModeLive);
    EXPECT_FALSE(calls->modes[0].second);
}

TEST_F(Dispatch, ManagerDestroyedBeforeTheTaskRunsMakesItANoOp) {
    ManualRuntime runtime;
    dispatch->setQVRuntime(&runtime);
    dispatch->setVideoEchoMgr(mgr);
    dispatch->setEditingMode(vantor::kEditingModeLive, false);
    mgr.reset();
    runtime.runAll();
    EXPECT_TRUE(calls->modes.empty());
}

TEST_F(Dispatch, DispatchDestroyedBeforeTheTaskRunsMakesItANoOp) {
    ManualRuntime runtime;
    dispatch->setQVRuntime(&runtime);
    dispatch->setVideoEchoMgr(mgr);
    dispatch->setEditingMode(vantor::kEditingModeLive, false);
    dispatch.reset();
    runtime.runAll();
    EXPECT_TRUE(calls->modes.empty());
}

TEST_F(Dispatch, EditingModeWithoutRuntimeWarnsAndForwardsNothing) {
    dispatch->setVideoEchoMgr(mgr);
    testsupport::LogCapture log;
    dispatch->setEditingMode(vantor::kEditingModeLive, false);
    ASSERT_EQ(log.lines().size(), 1U);
    EXPECT_EQ(log.lines()[0].level, spdlog::level::warn);
    EXPECT_TRUE(calls->modes.empty());
}

TEST_F(Dispatch, ReplacingTheManagerRedirectsForwarding) {
    auto otherCalls = std::make_shared<RecordingMgr::Calls>();
    auto other = std::make_shared<RecordingMgr>(otherCalls);
    dispatch->setVideoEchoMgr(mgr);
    dispatch->setVideoEchoMgr(other);
    dispatch->updateFrameData(MediaInfo(), &frame);
    EXPECT_TRUE(calls->frames.empty());
    EXPECT_EQ(otherCalls->frames.size(), 1U);
}

TEST_F(Dispatch, DefaultOperationsGiveTheInterfacesAnswers) {
    IDispatch& d = *dispatch;
    EXPECT_EQ(d.editingMode(), 4096);
    EXPECT_EQ(d.currentLayoutId(), -1);
    EXPECT_EQ(d.name(), "");
    EXPECT_EQ(d.mediaCount(), 0);
    EXPECT_EQ(d.playState(1, vantor::kEditingModeLive), 0);
    EXPECT_FALSE(d.isReady());
    EXPECT_FALSE(d.isPlaying(1, vantor::kEditingModeLive));
    EXPECT_FALSE(d.isSyncEnabled());
    EXPECT_FALSE(d.isEchoDispatch());
    EXPECT_TRUE(d.getMedias().empty());
    EXPECT_TRUE(d.getPlayingMedias(vantor::kEditingModeLive).empty());
    EXPECT_TRUE(d.getMediasOfCard(1).empty());
    EXPECT_EQ(d.getPlayRange(1), (std::pair<uint64_t, uint64_t>{0, 0}));
    EXPECT_EQ(sizeof(d.getMedias()), 24U);
    EXPECT_EQ(sizeof(d.getPlayRange(1)), 16U);
}

TEST_F(Dispatch, EmitsNoneOfItsSignalsWhenForwarding) {
    int emitted = 0;
    dispatch->mediasAdded.connect([&](const std::vector<MediaInfo>&) { ++emitted; });
    dispatch->mediaPlayStateChanged.connect([&](const STMediaPlayStateInfo&) { ++emitted; });
    dispatch->setVideoEchoMgr(mgr);
    dispatch->updateFrameData(MediaInfo(), &frame);
    EXPECT_EQ(emitted, 0);
}

}  // namespace
}  // namespace tarn::mediadispatch
