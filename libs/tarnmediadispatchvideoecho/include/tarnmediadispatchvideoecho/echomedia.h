// EchoMedia: the media resource through which the host plays an echo back, from a shared-memory
// frame channel (echo type 0) or from a stream URL. Created with make_shared by the echo manager
// and owned by the host's media manager. Splice sources and getPlayers may be used from any thread;
// the echo type and the player are chosen during setup, before the host plays the media.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <host/media.h>
#include <tarnmediadispatchvideoecho/channelviewset.h>
#include <tarnmediadispatchvideoecho/export.h>
#include <tarnmediadispatchvideoecho/iechomedia.h>

namespace vantor::mediadispatch {

// The host's resource-type code of an echo media.
constexpr int kEchoMediaResType = 16;

class TARN_VIDEOECHO_API EchoMedia : public IEchoMedia, public Media {
public:
    EchoMedia(uint64_t id, std::weak_ptr<qv::mediacore::IMeta> meta, EditingMode mode, bool flag);
    ~EchoMedia() override;

    // Has an effect only before the player exists.
    void setEchoType(EchoType type) override;
    // The views its shared-memory player shares with other players (by default a set of its
    // own); has an effect only before the player exists.
    void setChannelViews(std::shared_ptr<tarn::mediadispatch::ChannelViewSet> views);
    // Creates the player once; later calls change nothing.
    void setPlayerInfo(const std::string& source, void* device,
                       const std::string& playerKey) override;
    void addSpliceSource(const STRectInfo& rect) override;
    void removeSpliceSource(uint64_t id) override;
    void clearSpliceSource() override;
    void setVideoEchoSendFrameEnabled(bool enabled) override;

    std::shared_ptr<qv::mediacore::IMediaPlayer> createPlayer(
        std::shared_ptr<qv::mediacore::IMeta> meta, const std::string& source,
        void* device) override;
    int resType() override;
    // The player record (empty when `key` is given and is not the player key). A pending black
    // request is reported by exactly one call.
    std::vector<STPlayerInfo> getPlayers(const std::string& key) override;
    bool play(double time) override;
    void stop() override;
    void setBlack() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vantor::mediadispatch
