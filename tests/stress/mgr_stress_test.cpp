// Stress: frames from one thread while other threads add, remove, play and stop media, add and
// remove dispatches, change the configuration and query the registry, on a source-side and a
// viewer-side manager, for a bounded time. Meant for the ThreadSanitizer build: a data race is a
// report, a deadlock trips the watchdog, a crash ends the process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <host/imediamgr.h>
#include <host/inprocessruntime.h>
#include <logcapture.h>
#include <tarnmediadispatchvideoecho/echomedia.h>
#include <tarnmediadispatchvideoecho/videoechodispatch.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "echotestsupport.h"
#include "largerequest.h"
#include "standindispatch.h"

namespace tarn::mediadispatch {
namespace {

using Clock = std::chrono::steady_clock;
using echotest::StandInDispatch;
using vantor::kEditingModeLive;

constexpr auto kRunTime = std::chrono::milliseconds(1500);
constexpr auto kWatchdog = std::chrono::seconds(60);
constexpr int kMedias = 4;

// Runs each body in its own thread until the time is up; fails (and leaves the process, since
// deadlocked threads cannot be joined) if they do not all finish in time.
void runConcurrently(const std::vector<std::function<void(const std::atomic<bool>&)>>& bodies) {
    std::atomic<bool> stop{false};
    std::vector<std::future<void>> done;
    std::vector<std::thread> threads;
    for (const auto& body : bodies) {
        std::packaged_task<void()> task([&stop, body] { body(stop); });
        done.push_back(task.get_future());
        threads.emplace_back(std::move(task));
    }
    std::this_thread::sleep_for(kRunTime);
    stop = true;
    const auto deadline = Clock::now() + kWatchdog;
    for (auto& d : done) {
        if (d.wait_until(deadline) != std::future_status::ready) {
            std::fprintf(stderr, "stress: a thread did not finish in time (deadlock?)\n");
            std::_Exit(70);
        }
    }
    for (auto& t : threads) {
        t.join();
    }
}

class Stress : public ::testing::Test {
protected:
    Stress() : cleaner({}) {
        for (int i = 0; i < kMedias; ++i) {
            ids.push_back(echotest::uniqueMediaId());
            cleaner.add(echoKey(ids.back(), kEditingModeLive));
        }
    }
    uint64_t pick(std::mt19937& rng) { return ids[rng() % ids.size()]; }

    std::vector<uint64_t> ids;
    echotest::ChannelCleaner cleaner;
    testsupport::LogCapture log;  // keeps the run's many log lines off the console
};

TEST_F(Stress, SourceSideSurvivesFramesWhileEverythingElseChanges) {
    host::InProcessRuntime runtime;
    auto mgr = std::make_shared<VideoEchoMgr>();
    auto plugin = std::make_shared<VideoEchoDispatch>();
    plugin->setQVRuntime(&runtime);
    plugin->setVideoEchoMgr(mgr);
    auto dispatch = std::make_shared<StandInDispatch>();
    mgr->addDispatch(dispatch);
    int device = 0;
    mgr->setBoundDisplayCardsQueryCallback([](uint64_t, vantor::EditingMode) {
        return std::vector<STDisplayCardId>{STDisplayCardId{"n", 1, "card-0", ""}};
    });
    std::atomic<uint64_t> frames{0};
    // Calls from other machines reach the manager through the proxy's one path, from the RPC
    // server's I/O thread (small requests) and from its worker (large ones).
    testing::InProcessMainMachine main;
    main.proxy.setVideoEchoMgr(mgr);
    std::atomic<uint64_t> remoteCalls{0};
    const auto remoteCaller = [&](bool large) {
        return [&, large](const std::atomic<bool>& stop) {
            asio::io_context io;
            auto socket = rpctest::connectRaw(io, main.runtime.port());
            std::size_t count = 0;
            std::uint64_t id = 0;
            while (!stop) {
                ++id;
                std::string frame =
                    large ? testing::unmatchedStrategiesFrame(id, 100'000, &count)
                          : testing::addCardFrame(id, "card-" + std::to_string(id % 8));
                if (!large && id % 2 == 0) {
                    VideoEchoSpliceStrategy strategy = testing::sampleStrategy("card-0", id % 7);
                    frame = testing::requestFrame(id, "UpdateSpliceStrategy",
                                                  wire::encodeArgument(strategy));
                }
                rpctest::writeAll(socket, frame);
                const auto reply = rpctest::readFrame(socket, std::chrono::seconds(30));
                ASSERT_TRUE(reply);
                ASSERT_EQ(reply->body, host::rpc::encodeOkReply());
                ++remoteCalls;
            }
        };
    };

    runConcurrently({
        remoteCaller(false),
        remoteCaller(true),
        [&](const std::atomic<bool>& stop) {  // the host's frame thread
            std::mt19937 rng(1);
            echotest::PatternFrame frame(64, 32, 1);
            while (!stop) {
                plugin->updateFrameData(echotest::mediaInfo(pick(rng), kEditingModeLive),
                                        frame.get());
                ++frames;
            }
        },
        [&](const std::atomic<bool>& stop) {  // media come and go, play and stop
            std::mt19937 rng(2);
            while (!stop) {
                const uint64_t id = pick(rng);
                switch (rng() % 4) {
                    case 0:
                        dispatch->announce(id, kEditingModeLive);
                        break;
                    case 1:
                        dispatch->removed(id, kEditingModeLive);
                        break;
                    case 2:
                        dispatch->stopped(id, kEditingModeLive);
                        break;
                    default:
                        dispatch->playing(id, kEditingModeLive);
                        break;
                }
            }
        },
        [&](const std::atomic<bool>& stop) {  // dispatches come and go, with their own signals
            std::mt19937 rng(4);
            while (!stop) {
                auto extra = std::make_shared<StandInDispatch>();
                mgr->addDispatch(extra);
                extra->playing(pick(rng), kEditingModeLive);
                if (rng() % 4 == 0) {
                    mgr->removeDispatch();
                    mgr->addDispatch(dispatch);
                }
            }
        },
        [&](const std::atomic<bool>& stop) {  // configuration, cards and the registry
            std::mt19937 rng(5);
            int n = 0;
            while (!stop) {
                mgr->setVideoEchoFPS(float(rng() % 60));
                mgr->setSplicingRegionsCallBack(
                    [](uint64_t, const std::vector<vantor::SplicingSource>&) {});
                plugin->setEditingMode(rng() % 2 ? kEditingModeLive : vantor::kEditingModePreview,
                                       true);
                mgr->addEcho(STDisplayCardId{"n", 1, "card-" + std::to_string(n++ % 8), ""},
                             &device);
                VideoEchoSpliceStrategy strategy;
                strategy.addr.cardId.deviceId = "card-0";
                strategy.regions.push_back(SpliceRegion{1, pick(rng), RegionRect{0, 0, 1, 1}});
                mgr->setVideoEchoSpliceStrategy(strategy);
                mgr->getAllEchoInfo();
                mgr->getAllVideoEchoAddr();
                mgr->createRecordVideo(strategy.addr.cardId);
                mgr->setVideoEchoAddr(strategy.addr);
            }
        },
    });
    runtime.drainTasks();
    EXPECT_GT(frames.load(), 0U);
    EXPECT_GT(remoteCalls.load(), 0U);

    // Still working afterwards: a media added and played gets its frames.
    const uint64_t id = ids[0];
    dispatch->removed(id, kEditingModeLive);
    dispatch->announce(id, kEditingModeLive);
    dispatch->playing(id, kEditingModeLive);
    echotest::PatternFrame frame(64, 32, 9);
    plugin->updateFrameData(echotest::mediaInfo(id, kEditingModeLive), frame.get());
    EXPECT_TRUE(echotest::channelExists(echoKey(id, kEditingModeLive)));
}

TEST_F(Stress, ViewerSideSurvivesNotificationsWhileTheHostPlays) {
    vantor::MediaMgr media;
    auto mgr = std::make_shared<VideoEchoMgr>();
    mgr->setVideoEchoServerEnabled(false);
    mgr->setMediaMgr(&media);
    auto dispatch = std::make_shared<StandInDispatch>();
    mgr->addDispatch(dispatch);
    int device = 0;
    mgr->onDeviceReady(STDisplayCardInfo{"n", 1, "card-0", "", &device});
    // A source in this process keeps the channels alive.
    auto source = std::make_shared<VideoEchoMgr>();
    auto sourceDispatch = std::make_shared<StandInDispatch>();
    source->addDispatch(sourceDispatch);
    for (auto id : ids) {
        sourceDispatch->announce(id, kEditingModeLive);
        sourceDispatch->playing(id, kEditingModeLive);
    }

    runConcurrently({
        [&](const std::atomic<bool>& stop) {  // the source's frames
            std::mt19937 rng(1);
            echotest::PatternFrame frame(32, 32, 1);
            while (!stop) {
                source->updateFrameData(echotest::mediaInfo(pick(rng), kEditingModeLive),
                                        frame.get());
            }
        },
        [&](const std::atomic<bool>& stop) {  // the host's player thread
            while (!stop) {
                for (const auto& m : media.all()) {
                    for (const auto& info : m->getPlayers("")) {
                        if (auto player = info.mediaPlayer.lock()) {
                            player->getFrame(0.0);
                        }
                    }
                }
            }
        },
        [&](const std::atomic<bool>& stop) {  // media come and go
            std::mt19937 rng(2);
            while (!stop) {
                const uint64_t id = pick(rng);
                if (rng() % 2) {
                    dispatch->announce(id, kEditingModeLive);
                } else {
                    dispatch->removed(id, kEditingModeLive);
                }
            }
        },
        [&](const std::atomic<bool>& stop) {  // play, stop, black, frame delivery
            std::mt19937 rng(3);
            while (!stop) {
                const uint64_t id = pick(rng);
                switch (rng() % 4) {
                    case 0:
                        dispatch->playing(id, kEditingModeLive);
                        break;
                    case 1:
                        dispatch->stopped(id, kEditingModeLive);
                        break;
                    case 2:
                        dispatch->black(id, kEditingModeLive);
                        break;
                    default:
                        dispatch->frameEnabled(id, kEditingModeLive, rng() % 2);
                        break;
                }
            }
        },
        [&](const std::atomic<bool>& stop) {  // cards and dispatches
            int n = 0;
            while (!stop) {
                mgr->onDeviceReady(
                    STDisplayCardInfo{"n", 2, "card-" + std::to_string(++n), "", &device});
                mgr->addDispatch(std::make_shared<StandInDispatch>());
                if (n % 16 == 0) {
                    mgr->removeDispatch();
                    mgr->addDispatch(dispatch);
                }
            }
        },
    });
    // Still working afterwards.
    const uint64_t id = ids[0];
    dispatch->removed(id, kEditingModeLive);
    const size_t before = media.size();
    dispatch->announce(id, kEditingModeLive);
    EXPECT_EQ(media.size(), before + 1);
}

TEST_F(Stress, ManagerDestroyedWhileItsDispatchIsSignalling) {
    for (int round = 0; round < 20; ++round) {
        auto mgr = std::make_shared<VideoEchoMgr>();
        auto dispatch = std::make_shared<StandInDispatch>();
        mgr->addDispatch(dispatch);
        std::atomic<bool> go{false};
        std::thread signaller([&] {
            go = true;
            for (int i = 0; i < 200; ++i) {
                dispatch->announce(ids[i % kMedias], kEditingModeLive);
                dispatch->playing(ids[i % kMedias], kEditingModeLive);
                dispatch->removed(ids[i % kMedias], kEditingModeLive);
            }
        });
        while (!go) {
            std::this_thread::yield();
        }
        mgr.reset();
        signaller.join();
        EXPECT_EQ(dispatch->mediasAdded.num_slots(), 0U);
    }
}

}  // namespace
}  // namespace tarn::mediadispatch
