// EchoMedia: the player chosen once by echo type, splice sources, the one-shot black request and
// the warnings of a media without player.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <host/streammediaplayer.h>
#include <logcapture.h>
#include <tarnmediadispatchvideoecho/echomedia.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include "echotestsupport.h"

namespace vantor::mediadispatch {
namespace {

// Makes the player that `Player` would be, to see what EchoMedia does with foreign players.
template <typename Player>
struct MediaWith : EchoMedia {
    using EchoMedia::EchoMedia;
    std::shared_ptr<qv::mediacore::IMediaPlayer> createPlayer(
        std::shared_ptr<qv::mediacore::IMeta> meta, const std::string& source, void*) override {
        return std::make_shared<Player>(meta, source);
    }
};
struct RefusingPlayer : qv::mediacore::IMediaPlayer {
    using IMediaPlayer::IMediaPlayer;
    bool play(double, double) override { return false; }
};

template <typename Media = EchoMedia>
std::shared_ptr<Media> makeMedia(bool flag = false) {
    return std::make_shared<Media>(41, std::weak_ptr<qv::mediacore::IMeta>(), kEditingModeLive,
                                   flag);
}

STPlayerInfo record(const std::shared_ptr<EchoMedia>& m) {
    return m->getPlayers("").at(0);
}

TEST(EchoMedia, RecordPlayerAndSpliceSources) {
    const auto m = makeMedia(true);
    EXPECT_FALSE(record(m).mediaFlag);  // the negation of the constructor's flag
    EXPECT_TRUE(record(m).valid);
    EXPECT_EQ(record(m).editingMode, kEditingModeLive);
    EXPECT_EQ(m->resType(), 16);
    // The first player info chooses the player, once.
    m->setPlayerInfo("chan", nullptr, "key");
    const auto shared = std::dynamic_pointer_cast<SharedMemoryPlayer>(record(m).mediaPlayer.lock());
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->name(), "chan");
    m->setEchoType(kEchoTypeStream);
    m->setPlayerInfo("other", nullptr, "other-key");
    EXPECT_EQ(record(m).playerKey, "key");
    EXPECT_EQ(record(m).mediaPlayer.lock(), shared);
    EXPECT_TRUE(m->getPlayers("other-key").empty());
    const auto stream = makeMedia();
    int device = 0;
    stream->setEchoType(kEchoTypeStream);
    stream->setPlayerInfo("rtsp://x/y", &device, "key");
    const auto player = std::dynamic_pointer_cast<qv::streammediaplayercore::StreammediaPlayer>(
        record(stream).mediaPlayer.lock());
    ASSERT_NE(player, nullptr);
    EXPECT_EQ(player->url(), "rtsp://x/y");
    EXPECT_EQ(player->device(), &device);
    // Splice sources are replaced in place and removed by id.
    for (auto [id, x] : {std::pair{1, 1.0F}, {2, 2.0F}, {3, 3.0F}, {1, 9.0F}}) {
        m->addSpliceSource(STRectInfo{uint64_t(id), x, x, x, x});
    }
    m->removeSpliceSource(2);
    const auto sources = record(m).spliceSources;
    ASSERT_EQ(sources.size(), 2U);
    EXPECT_EQ(sources[0].id, 1U);
    EXPECT_EQ(sources[0].height, 9.0F);
    EXPECT_EQ(sources[1].id, 3U);
    m->clearSpliceSource();
    EXPECT_TRUE(record(m).spliceSources.empty());
}

// A foreign player (one that refuses to play) and none at all: play answers true whatever the
// player says, black is seen by exactly one query and a play clears it, and each call that needs
// the channel player warns.
TEST(EchoMedia, BlackIsOneShotAndMissingOrForeignPlayersWarn) {
    const auto foreign = makeMedia<MediaWith<RefusingPlayer>>();
    foreign->setPlayerInfo("chan", nullptr, "key");
    foreign->setBlack();
    EXPECT_TRUE(foreign->getPlayers("other").empty());  // a query of another key takes it too
    EXPECT_FALSE(record(foreign).isBlack);
    foreign->setBlack();
    EXPECT_TRUE(foreign->play(0.0));
    EXPECT_FALSE(record(foreign).isBlack);

    testsupport::LogCapture log;
    const auto none = makeMedia();
    EXPECT_FALSE(none->play(0.0));
    none->stop();
    none->setVideoEchoSendFrameEnabled(true);
    const auto stream = makeMedia();  // a stream player is left alone silently
    stream->setEchoType(kEchoTypeStream);
    stream->setPlayerInfo("rtsp://x", nullptr, "k");
    stream->setVideoEchoSendFrameEnabled(false);
    foreign->setVideoEchoSendFrameEnabled(false);
    const std::pair<const char*, const char*> expected[] = {
        {"player is null", "play"},
        {"player is null", "stop"},
        {"player is null", "setVideoEchoSendFrameEnabled"},
        {"player is not SharedMemoryPlayer", "setVideoEchoSendFrameEnabled"}};
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), std::size(expected));
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].level, spdlog::level::warn);
        EXPECT_TRUE(echotest::isLogLine(lines[i].text, expected[i].first, "echomedia.cpp",
                                        expected[i].second))
            << lines[i].text;
    }
}

}  // namespace
}  // namespace vantor::mediadispatch
