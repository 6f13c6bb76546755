// ChannelViewSet: the read-only views of frame channels that a group of players share, one per
// channel name however many of them read it. Owned (shared) by whoever groups the players (the echo
// manager holds one for all its echo media); the players keep it alive. Any thread may use it.
#pragma once

#include <memory>

#include <tarnmediadispatchvideoecho/export.h>

namespace vantor::mediadispatch {
class SharedMemoryPlayer;
}

namespace tarn::mediadispatch {

namespace channel {
class ChannelViews;
}

class TARN_VIDEOECHO_API ChannelViewSet {
public:
    ChannelViewSet();
    ~ChannelViewSet();
    ChannelViewSet(const ChannelViewSet&) = delete;
    ChannelViewSet& operator=(const ChannelViewSet&) = delete;

private:
    friend class vantor::mediadispatch::SharedMemoryPlayer;
    channel::ChannelViews& views();

    std::unique_ptr<channel::ChannelViews> views_;
};

}  // namespace tarn::mediadispatch
