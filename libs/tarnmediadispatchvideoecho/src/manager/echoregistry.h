// The manager's registry: the addresses recorded from other machines and the host's players of the
// display cards (keyed by card), on which splice strategies land. Owned by the manager's Impl; any
// thread may call it. No player is called under the lock.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <host/imediaplayer.h>
#include <host/mediarecords.h>
#include <host/videoecho.h>

namespace tarn::mediadispatch {

class EchoRegistry {
public:
    void setVideoEchoAddr(const VideoEchoAddr& addr);
    void updateSpliceStrategy(const VideoEchoSpliceStrategy& strategy);
    // The live player of a card key, or null.
    std::shared_ptr<qv::mediacore::IMediaPlayer> livePlayer(const std::string& key);
    void setBlack(const std::string& key, bool black);

private:
    std::mutex mutex_;
    std::vector<VideoEchoAddr> knownAddrs_;                        // guarded by mutex_
    std::set<std::pair<std::string, std::string>> knownAddrKeys_;  // guarded by mutex_
    std::map<std::string, vantor::STPlayerInfo> players_;          // guarded by mutex_
};

}  // namespace tarn::mediadispatch
