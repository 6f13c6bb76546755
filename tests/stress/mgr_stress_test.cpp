// Stress: into one manager, frames from the host's frame thread, remote calls over a real socket,
// dispatch notifications, dispatches, cards and other managers coming and going, configuration
// changes, registry queries and the role switching between source and viewer, while the host's
// player thread reads the echo media, for a bounded time. Meant for the ThreadSanitizer build: a
// data race is a report, a deadlock trips the watchdog, a crash ends the process.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include <host/imediamgr.h>
#include <host/inprocessruntime.h>
#include <host/rpc/rpcclient.h>
#include <logcapture.h>
#include <tarnmediadispatchvideoecho/videoechodispatch.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "echotestsupport.h"
#include "largerequest.h"
#include "standindispatch.h"

namespace tarn::mediadispatch {
namespace {

using echotest::StandInDispatch;
using vantor::kEditingModeLive;
using Body = std::function<void(std::mt19937&)>;

constexpr auto kRunTime = std::chrono::milliseconds(2000);
constexpr auto kWatchdog = std::chrono::milliseconds(60000);

// Runs each body over and over in its own thread until the time is up; leaves the process if they
// do not all finish in time, since deadlocked threads cannot be joined.
void runConcurrently(const std::vector<Body>& bodies) {
    std::atomic<bool> stop{false};
    std::atomic<size_t> finished{0};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < bodies.size(); ++i) {
        threads.emplace_back([&, i] {
            std::mt19937 rng(static_cast<unsigned>(i));
            while (!stop) {
                bodies[i](rng);
            }
            ++finished;
        });
    }
    std::this_thread::sleep_for(kRunTime);
    stop = true;
    if (!rpctest::eventually([&] { return finished == bodies.size(); }, kWatchdog)) {
        std::fprintf(stderr, "stress: a thread did not finish in time (deadlock?)\n");
        std::_Exit(70);
    }
    for (auto& t : threads) {
        t.join();
    }
}

TEST(Stress, OneManagerSurvivesEverythingAtOnceAndStillWorks) {
    testsupport::LogCapture log;  // keeps the run's many log lines off the console
    uint64_t ids[4];
    echotest::ChannelCleaner cleaner{{}};
    for (auto& id : ids) {
        id = echotest::uniqueMediaId();
        cleaner.add(echoKey(id, kEditingModeLive));
    }
    const auto pick = [&](std::mt19937& rng) { return ids[rng() % 4]; };
    host::InProcessRuntime runtime;
    vantor::MediaMgr media;
    auto mgr = std::make_shared<VideoEchoMgr>();
    auto plugin = std::make_shared<VideoEchoDispatch>();
    plugin->setQVRuntime(&runtime);
    plugin->setVideoEchoMgr(mgr);
    plugin->setMediaMgr(&media);
    auto dispatch = std::make_shared<StandInDispatch>();
    mgr->addDispatch(dispatch);
    int device = 0;
    mgr->onDeviceReady(STDisplayCardInfo{"n", 1, "card-0", "", &device});
    mgr->setBoundDisplayCardsQueryCallback([](uint64_t, vantor::EditingMode) {
        return std::vector<STDisplayCardId>{STDisplayCardId{"n", 1, "card-0", ""}};
    });
    // Calls from other machines reach the manager through the proxy's one path, from the RPC
    // server's I/O thread (small requests) and from its worker (large ones).
    testing::InProcessMainMachine main;
    main.proxy.setVideoEchoMgr(mgr);
    std::vector<VideoEchoSpliceStrategy> unmatched;  // over 64 kB: a large request
    for (int i = 0; i < 2000; ++i) {
        unmatched.push_back(testing::sampleStrategy("no-card-" + std::to_string(i)));
    }
    ASSERT_GT(wire::encodeRecord(unmatched).size(), 64u * 1024);
    std::atomic<uint64_t> frames{0}, remoteCalls{0};
    const auto remoteCaller = [&](bool large) {
        auto client = std::make_shared<host::rpc::RpcClient>("127.0.0.1", main.runtime.port());
        EXPECT_TRUE(client->connect());
        return [&, large, client](std::mt19937& rng) {
            const auto card = "card-" + std::to_string(rng() % 8);
            EXPECT_NO_THROW(
                large       ? client->call<30000>("UpdateSpliceStrategies", unmatched)
                : rng() % 2 ? client->call<30000>("AddEchoAddr", testing::sampleAddr(card))
                            : client->call<30000>("UpdateSpliceStrategy",
                                                  testing::sampleStrategy("card-0", rng() % 7)));
            ++remoteCalls;
        };
    };
    const echotest::PatternFrame frame(64, 32, 1);

    runConcurrently({
        remoteCaller(false),
        remoteCaller(true),
        [&](std::mt19937& rng) {  // the host's frame thread
            plugin->updateFrameData(echotest::mediaInfo(pick(rng), kEditingModeLive), frame.get());
            ++frames;
        },
        [&](std::mt19937&) {  // the host's player thread
            for (const auto& m : media.all()) {
                for (const auto& info : m->getPlayers("")) {
                    if (auto player = info.mediaPlayer.lock()) {
                        player->getFrame(0.0);
                    }
                }
            }
        },
        [&](std::mt19937& rng) {  // notifications
            const uint64_t id = pick(rng);
            const Body actions[] = {
                [&](std::mt19937&) { dispatch->announce(id, kEditingModeLive); },
                [&](std::mt19937&) { dispatch->removed(id, kEditingModeLive); },
                [&](std::mt19937&) { dispatch->stopped(id, kEditingModeLive); },
                [&](std::mt19937&) { dispatch->playing(id, kEditingModeLive); },
                [&](std::mt19937&) { dispatch->black(id, kEditingModeLive); },
                [&](std::mt19937& r) { dispatch->frameEnabled(id, kEditingModeLive, r() % 2); }};
            actions[rng() % 6](rng);
        },
        [&](std::mt19937& rng) {  // dispatches, cards and managers come and go
            std::make_shared<VideoEchoMgr>()->addDispatch(dispatch);  // gone while it signals
            auto extra = std::make_shared<StandInDispatch>();
            mgr->addDispatch(extra);
            extra->playing(pick(rng), kEditingModeLive);
            mgr->onDeviceReady(
                STDisplayCardInfo{"n", 2, "card-" + std::to_string(rng() % 8), "", &device});
            if (rng() % 8 == 0) {
                mgr->removeDispatch();
                mgr->addDispatch(dispatch);
            }
        },
        [&](std::mt19937& rng) {  // configuration, role, cards and the registry
            mgr->setVideoEchoFPS(float(rng() % 60));
            mgr->setSplicingRegionsCallBack(
                [](uint64_t, const std::vector<vantor::SplicingSource>&) {});
            plugin->setEditingMode(rng() % 2 ? kEditingModeLive : vantor::kEditingModePreview,
                                   true);
            mgr->setVideoEchoServerEnabled(rng() % 2);
            const STDisplayCardId card{"n", 1, "card-" + std::to_string(rng() % 8), ""};
            mgr->addEcho(card, &device);
            mgr->setVideoEchoSpliceStrategy({{card, ""}, {{1, pick(rng), {0, 0, 1, 1}}}});
            mgr->getAllEchoInfo();
            mgr->getAllVideoEchoAddr();
            mgr->createRecordVideo(card);
            mgr->setVideoEchoAddr({card, "rtsp://x"});
        },
    });
    runtime.drainTasks();
    EXPECT_GT(frames.load(), 0U);
    EXPECT_GT(remoteCalls.load(), 0U);

    // Still working afterwards: as source, a media added and played gets its channel; as viewer,
    // a media added gets its echo media.
    const uint64_t id = ids[0];
    mgr->setVideoEchoServerEnabled(true);
    dispatch->removed(id, kEditingModeLive);
    dispatch->announce(id, kEditingModeLive);
    dispatch->playing(id, kEditingModeLive);
    plugin->updateFrameData(echotest::mediaInfo(id, kEditingModeLive), frame.get());
    EXPECT_TRUE(echotest::channelExists(echoKey(id, kEditingModeLive)));
    mgr->setVideoEchoServerEnabled(false);
    dispatch->removed(ids[1], kEditingModeLive);
    const size_t before = media.size();
    dispatch->announce(ids[1], kEditingModeLive);
    EXPECT_EQ(media.size(), before + 1);
}

}  // namespace
}  // namespace tarn::mediadispatch
