// The source callback that the tools hand an echo server: media ids mapped to shared-memory echo
// channels, each read with a SharedMemoryPlayer of its own. The server of one card calls `answer`
// on its composing thread (a player is read by one thread, so one object serves one card); the
// object is shared between that thread and its creator (shared_ptr) and is not changed after
// construction.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <host/videoecho.h>

namespace vantor::mediadispatch {
class SharedMemoryPlayer;
}

namespace videoecho {

class EchoChannelSources {
public:
    // `channels`: media id -> echo key of its channel.
    EchoChannelSources(const std::map<uint64_t, std::string>& channels, bool quiet);
    ~EchoChannelSources();

    // The source callback's answer (host/videoecho.h): `slot` filled with the channel's newest
    // frame, or null while the channel has none.
    void** answer(uint64_t mediaId, void** slot);
    // The callback to hand a server or a manager; it keeps this object alive.
    static tarn::mediadispatch::VideoEchoSourceCallBack callbackOf(
        std::shared_ptr<EchoChannelSources> sources);

private:
    const bool quiet_;
    std::map<uint64_t, std::shared_ptr<vantor::mediadispatch::SharedMemoryPlayer>> players_;
};

}  // namespace videoecho
