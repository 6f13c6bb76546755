// EchoMedia: the player chosen once by echo type, splice sources, play/stop/black, getPlayers and
// its one-shot black request under concurrent callers.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <host/streammediaplayer.h>
#include <logcapture.h>
#include <tarnmediadispatchvideoecho/echomedia.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

namespace vantor::mediadispatch {
namespace {

using qv::streammediaplayercore::StreammediaPlayer;

std::shared_ptr<EchoMedia> makeMedia(bool flag = false) {
    return std::make_shared<EchoMedia>(41, std::weak_ptr<qv::mediacore::IMeta>(), kEditingModeLive,
                                       flag);
}

STRectInfo rect(uint64_t id, float x) {
    return STRectInfo{id, x, x, x, x};
}

bool isLine(const std::string& text, const std::string& message, const std::string& function) {
    const std::string prefix = message + " \n //echomedia.cpp:" + function + "()#";
    return text.compare(0, prefix.size(), prefix) == 0 && text.back() == '.';
}

TEST(EchoMediaRecord, ConstructorFillsTheRecord) {
    const auto m = makeMedia(true);
    const auto players = m->getPlayers("");
    ASSERT_EQ(players.size(), 1U);
    EXPECT_TRUE(players[0].valid);
    EXPECT_FALSE(players[0].mediaFlag);  // the negation of the constructor's flag
    EXPECT_EQ(players[0].editingMode, kEditingModeLive);
    EXPECT_FALSE(players[0].isBlack);
    EXPECT_TRUE(players[0].mediaPlayer.expired());
    EXPECT_EQ(m->resType(), 16);
    EXPECT_EQ(m->id(), 41U);
    EXPECT_TRUE(makeMedia(false)->getPlayers("")[0].mediaFlag);
}

TEST(EchoMediaPlayer, TypeZeroMakesASharedMemoryPlayerReadingTheSource) {
    const auto m = makeMedia();
    m->setEchoType(kEchoTypeSharedMemory);
    m->setPlayerInfo("chan", nullptr, "key");
    const auto player = m->getPlayers("key").at(0).mediaPlayer.lock();
    const auto shared = std::dynamic_pointer_cast<SharedMemoryPlayer>(player);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->name(), "chan");
}

TEST(EchoMediaPlayer, OtherTypeBeforeSetPlayerInfoMakesAStreamPlayer) {
    const auto m = makeMedia();
    int device = 0;
    m->setEchoType(kEchoTypeStream);
    m->setPlayerInfo("rtsp://x/y", &device, "key");
    const auto stream =
        std::dynamic_pointer_cast<StreammediaPlayer>(m->getPlayers("")[0].mediaPlayer.lock());
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->url(), "rtsp://x/y");
    EXPECT_EQ(stream->device(), &device);
}

TEST(EchoMediaPlayer, TypeAndPlayerInfoAfterThePlayerExistsChangeNothing) {
    const auto m = makeMedia();
    m->setPlayerInfo("chan", nullptr, "key");
    const auto first = m->getPlayers("")[0].mediaPlayer.lock();
    m->setEchoType(kEchoTypeStream);
    m->setPlayerInfo("other", nullptr, "other-key");
    const auto players = m->getPlayers("");
    EXPECT_EQ(players[0].playerKey, "key");
    EXPECT_EQ(players[0].mediaPlayer.lock(), first);
    EXPECT_NE(std::dynamic_pointer_cast<SharedMemoryPlayer>(first), nullptr);
    EXPECT_TRUE(m->getPlayers("other-key").empty());
}

TEST(EchoMediaSplice, SameIdReplacesItsRectangleInPlace) {
    const auto m = makeMedia();
    m->addSpliceSource(rect(1, 1));
    m->addSpliceSource(rect(2, 2));
    m->addSpliceSource(rect(1, 3));
    const auto sources = m->getPlayers("")[0].spliceSources;
    ASSERT_EQ(sources.size(), 2U);
    EXPECT_EQ(sources[0].id, 1U);
    EXPECT_EQ(sources[0].x, 3.0F);
    EXPECT_EQ(sources[0].height, 3.0F);
    EXPECT_EQ(sources[1].id, 2U);
}

TEST(EchoMediaSplice, RemoveTakesEveryEntryOfTheIdAndKeepsTheOrder) {
    const auto m = makeMedia();
    m->addSpliceSource(rect(1, 1));
    m->addSpliceSource(rect(2, 2));
    m->addSpliceSource(rect(3, 3));
    m->removeSpliceSource(9);
    EXPECT_EQ(m->getPlayers("")[0].spliceSources.size(), 3U);
    m->removeSpliceSource(2);
    const auto sources = m->getPlayers("")[0].spliceSources;
    ASSERT_EQ(sources.size(), 2U);
    EXPECT_EQ(sources[0].id, 1U);
    EXPECT_EQ(sources[1].id, 3U);
    m->clearSpliceSource();
    EXPECT_TRUE(m->getPlayers("")[0].spliceSources.empty());
    m->clearSpliceSource();
    EXPECT_TRUE(m->getPlayers("")[0].spliceSources.empty());
}

TEST(EchoMediaBlack, FirstGetPlayersConsumesTheRequest) {
    const auto m = makeMedia();
    m->setPlayerInfo("chan", nullptr, "key");
    m->setBlack();
    EXPECT_TRUE(m->getPlayers("key")[0].isBlack);
    EXPECT_FALSE(m->getPlayers("key")[0].isBlack);
}

TEST(EchoMediaBlack, NonMatchingKeyConsumesTheRequestToo) {
    const auto m = makeMedia();
    m->setPlayerInfo("chan", nullptr, "key");
    m->setBlack();
    EXPECT_TRUE(m->getPlayers("other").empty());
    EXPECT_FALSE(m->getPlayers("key")[0].isBlack);
}

TEST(EchoMediaBlack, PlayClearsAPendingRequest) {
    const auto m = makeMedia();
    m->setPlayerInfo("chan", nullptr, "key");
    m->setBlack();
    EXPECT_TRUE(m->play(5.0));
    EXPECT_FALSE(m->getPlayers("")[0].isBlack);
}

TEST(EchoMediaBlack, ConcurrentCallersSeeEachRequestExactlyOnce) {
    const auto m = makeMedia();
    m->setPlayerInfo("chan", nullptr, "key");
    constexpr int kRequests = 300;
    std::atomic<int> seen{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!done.load()) {
                if (m->getPlayers("")[0].isBlack) {
                    ++seen;
                }
            }
        });
    }
    for (int i = 0; i < kRequests; ++i) {
        m->setBlack();
        // Wait until a reader has taken it, so that requests do not merge.
        while (seen.load() < i + 1) {
            std::this_thread::yield();
        }
    }
    done = true;
    for (auto& r : readers) {
        r.join();
    }
    EXPECT_EQ(seen.load(), kRequests);
}

TEST(EchoMediaPlayState, PlayAndStopDriveThePlayer) {
    const auto m = makeMedia();
    m->setPlayerInfo("chan", nullptr, "key");
    const auto player = m->getPlayers("")[0].mediaPlayer.lock();
    EXPECT_TRUE(m->play(3.0));
    EXPECT_EQ(player->getPlayState(), qv::mediacore::kPlayerStatePlaying);
    m->stop();
    EXPECT_EQ(player->getPlayState(), qv::mediacore::kPlayerStateStopped);
}

TEST(EchoMediaPlayState, PlayReturnsTrueWhateverThePlayerAnswers) {
    class RefusingPlayer : public qv::mediacore::IMediaPlayer {
    public:
        using IMediaPlayer::IMediaPlayer;
        bool play(double, double) override { return false; }
    };
    class RefusingMedia : public EchoMedia {
    public:
        using EchoMedia::EchoMedia;
        std::shared_ptr<qv::mediacore::IMediaPlayer> createPlayer(
            std::shared_ptr<qv::mediacore::IMeta> meta, const std::string& source, void*) override {
            return std::make_shared<RefusingPlayer>(meta, source);
        }
    };
    const auto m = std::make_shared<RefusingMedia>(1, std::weak_ptr<qv::mediacore::IMeta>(),
                                                   kEditingModeLive, false);
    m->setPlayerInfo("x", nullptr, "k");
    const auto player = m->getPlayers("")[0].mediaPlayer.lock();
    ASSERT_NE(player, nullptr);
    m->setBlack();
    EXPECT_TRUE(m->play(0.0));
    EXPECT_FALSE(m->getPlayers("")[0].isBlack);
}

TEST(EchoMediaWithoutPlayer, OperationsWarnPlayerIsNull) {
    testsupport::LogCapture log;
    const auto m = makeMedia();
    EXPECT_FALSE(m->play(0.0));
    m->stop();
    m->setVideoEchoSendFrameEnabled(true);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3U);
    for (const auto& line : lines) {
        EXPECT_EQ(line.level, spdlog::level::warn);
    }
    EXPECT_TRUE(isLine(lines[0].text, "player is null", "play")) << lines[0].text;
    EXPECT_TRUE(isLine(lines[1].text, "player is null", "stop")) << lines[1].text;
    EXPECT_TRUE(isLine(lines[2].text, "player is null", "setVideoEchoSendFrameEnabled"))
        << lines[2].text;
    EXPECT_EQ(m->getPlayers("").size(), 1U);
}

TEST(EchoMediaFrameEnable, StreamPlayerIsLeftAloneSilently) {
    testsupport::LogCapture log;
    const auto m = makeMedia();
    m->setEchoType(kEchoTypeStream);
    m->setPlayerInfo("rtsp://x", nullptr, "k");
    m->setVideoEchoSendFrameEnabled(false);
    EXPECT_TRUE(log.lines().empty());
}

TEST(EchoMediaFrameEnable, ForeignPlayerOfTypeZeroWarns) {
    class ForeignMedia : public EchoMedia {
    public:
        using EchoMedia::EchoMedia;
        std::shared_ptr<qv::mediacore::IMediaPlayer> createPlayer(
            std::shared_ptr<qv::mediacore::IMeta> meta, const std::string& source, void*) override {
            return std::make_shared<qv::mediacore::IMediaPlayer>(meta, source);
        }
    };
    testsupport::LogCapture log;
    const auto m = std::make_shared<ForeignMedia>(1, std::weak_ptr<qv::mediacore::IMeta>(),
                                                  kEditingModeLive, false);
    m->setPlayerInfo("x", nullptr, "k");
    m->setVideoEchoSendFrameEnabled(false);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_TRUE(
        isLine(lines[0].text, "player is not SharedMemoryPlayer", "setVideoEchoSendFrameEnabled"))
        << lines[0].text;
}

TEST(EchoMediaConcurrency, SpliceChangesAndQueriesFromManyThreads) {
    const auto m = makeMedia();
    m->setPlayerInfo("chan", nullptr, "key");
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint64_t i = 0; i < 3000; ++i) {
            m->addSpliceSource(rect(i % 7, float(i)));
            if (i % 5 == 0) {
                m->removeSpliceSource(i % 7);
            }
            if (i % 101 == 0) {
                m->clearSpliceSource();
            }
        }
        done = true;
    });
    size_t maxSeen = 0;
    while (!done.load()) {
        maxSeen = std::max(maxSeen, m->getPlayers("key")[0].spliceSources.size());
    }
    writer.join();
    EXPECT_LE(maxSeen, 7U);  // never two entries of one id
}

}  // namespace
}  // namespace vantor::mediadispatch
