// IEchoMedia: the library's interface of an echo media resource (what the echo manager configures).
// Implemented by EchoMedia; held through std::shared_ptr. Thread rules are those of EchoMedia.
#pragma once

#include <cstdint>
#include <string>

#include <host/mediarecords.h>
#include <tarnmediadispatchvideoecho/export.h>

namespace vantor::mediadispatch {

class TARN_VIDEOECHO_API IEchoMedia {
public:
    virtual ~IEchoMedia();
    virtual void setEchoType(EchoType type) = 0;
    virtual void setPlayerInfo(const std::string& source, void* device,
                               const std::string& playerKey) = 0;
    virtual void addSpliceSource(const STRectInfo& rect) = 0;
    virtual void removeSpliceSource(uint64_t id) = 0;
    virtual void clearSpliceSource() = 0;
    virtual void setVideoEchoSendFrameEnabled(bool enabled) = 0;
};

}  // namespace vantor::mediadispatch
