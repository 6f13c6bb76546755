// The echo records exchanged between the echo manager, the echo servers and the other machines, and
// the two keys they yield. Plain values: copyable, owned by whoever holds them, no locking.
// Their msgpack encoding is in echorecordswire/echorecordsmsgpack.h (target echorecords_wire).
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <host/mediarecords.h>

namespace tarn::mediadispatch {

using vantor::mediadispatch::STDisplayCardId;

struct VideoEchoAddr {
    STDisplayCardId cardId;
    std::string url;
};

struct RegionRect {
    float x = 0;
    float y = 0;
    float width = 0;
    float height = 0;
};

struct SpliceRegion {
    uint64_t ownerId = 0;
    uint64_t mediaId = 0;
    RegionRect rect;
};

struct VideoEchoSpliceStrategy {
    VideoEchoAddr addr;
    std::vector<SpliceRegion> regions;
};

struct EchoInfo {
    VideoEchoAddr addr;
    VideoEchoSpliceStrategy strategy;
};

// Same card (by deviceId) and same url.
inline bool sameAddr(const VideoEchoAddr& a, const VideoEchoAddr& b) {
    return a.cardId.deviceId == b.cardId.deviceId && a.url == b.url;
}

// The echo key of a media: decimal media id directly followed by the signed decimal editing mode.
// It is also the name of the media's shared-memory frame channel. Distinct pairs may collide
// (media 12 in mode 34 and media 123 in mode 4 both give "1234"); that is the key's rule.
class EchoKey {
public:
    EchoKey(uint64_t mediaId, vantor::EditingMode mode) {
        char* const end = text_ + sizeof(text_);
        auto idEnd = std::to_chars(text_, end, mediaId).ptr;
        size_ =
            static_cast<size_t>(std::to_chars(idEnd, end, static_cast<int32_t>(mode)).ptr - text_);
    }
    std::string_view view() const { return {text_, size_}; }
    std::string str() const { return std::string(view()); }

private:
    char text_[32];  // 20 digits of a uint64_t + 11 characters of an int32_t
    size_t size_ = 0;
};

inline std::string echoKey(uint64_t mediaId, vantor::EditingMode mode) {
    return EchoKey(mediaId, mode).str();
}

}  // namespace tarn::mediadispatch
