// Records of the host framework and of its dispatch interface: plain copyable values that the host
// hands to its plug-ins. Fields that the echo library reads keep their order; the rest are the
// host's own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qv::mediacore {
class IMediaPlayer;
}

namespace vantor {

// Written into keys as a signed decimal number.
enum EditingMode : int32_t {
    kEditingModeNone = 0,
    kEditingModeLive = 1,
    kEditingModePreview = 2,
    kEditingModeDefault = 4096,
};

// Only travels through the splicing-regions callback of the echo servers.
struct SplicingSource {
    uint64_t id = 0;
    float x = 0, y = 0, width = 0, height = 0;
};

struct STRectInfo {
    uint64_t id = 0;
    float x = 0;
    float y = 0;
    float width = 1920.0F;
    float height = 1080.0F;
};

struct STPlayerInfo {
    bool isBlack = false;
    std::weak_ptr<qv::mediacore::IMediaPlayer> mediaPlayer;
    std::weak_ptr<qv::mediacore::IMediaPlayer> auxiliaryPlayer;
    std::vector<STRectInfo> spliceSources;
    EditingMode editingMode = kEditingModeNone;
    std::string playerKey;
    bool valid = false;
    bool mediaFlag = false;
    std::string description;
};

}  // namespace vantor

namespace vantor::mediadispatch {

// 0: read from shared memory on the same machine; any other value: read from a stream URL.
enum EchoType : int32_t {
    kEchoTypeSharedMemory = 0,
    kEchoTypeStream = 1,
};

// Two ids denote the same card exactly when their deviceId strings are byte-for-byte equal.
struct STDisplayCardId {
    std::string nodeId;
    uint64_t id = 0;
    std::string deviceId;
    std::string extra;
};

struct STDisplayCardInfo {
    std::string nodeId;
    uint64_t id = 0;
    std::string deviceId;
    std::string extra;
    void* device = nullptr;
};

inline bool sameCard(const STDisplayCardId& a, const STDisplayCardId& b) {
    return a.deviceId == b.deviceId;
}

// nodeId followed directly by deviceId.
inline std::string cardKey(const STDisplayCardId& card) {
    return card.nodeId + card.deviceId;
}

}  // namespace vantor::mediadispatch

namespace tarn {

enum DispatchType : int32_t {
    kDispatchTypeNone = 0,
    kDispatchTypeVideo = 1,
    kDispatchTypeAudio = 2,
};

struct MediaInfo {
    uint64_t ownerId = 0;
    uint64_t mediaId = 0;
    vantor::EditingMode editingMode = vantor::kEditingModeNone;
    bool mediaFlag = false;
    std::string name;
};

}  // namespace tarn

namespace tarn::mediadispatch {

// 0: stopped; 1 and 3: playing; anything else is unexpected.
enum DispatchPlayState : int32_t {
    kDispatchStopped = 0,
    kDispatchPlaying = 1,
    kDispatchPaused = 2,
    kDispatchResumed = 3,
};

struct STMediaPlayStateInfo {
    DispatchType dispatchType = kDispatchTypeNone;
    uint64_t sequence = 0;
    bool notify = false;
    uint64_t ownerId = 0;
    uint64_t mediaId = 0;
    vantor::EditingMode editingMode = vantor::kEditingModeNone;
    DispatchPlayState playState = kDispatchStopped;
};

// Host records carried by dispatch signals that the echo library does not connect to.
struct STMediaSeekInfo {
    uint64_t mediaId = 0;
    double position = 0;
};
using STMediaSeekInfoList = std::vector<STMediaSeekInfo>;
struct STMediaEffectInfo {
    uint64_t mediaId = 0;
    std::string effect;
};
struct STMediaPlayProgressInfo {
    uint64_t mediaId = 0;
    double position = 0;
    double duration = 0;
};
struct STDispatchMediaFadeInfo {
    uint64_t mediaId = 0;
    double duration = 0;
};
struct ColorProperty {
    float brightness = 0, contrast = 0, saturation = 0;
};
struct BorderProperty {
    float width = 0;
    uint32_t color = 0;
};
struct PickProperty {
    uint32_t color = 0;
    float tolerance = 0;
};
enum EffectType : int32_t { kEffectNone = 0 };
struct EffectProperty {
    std::vector<float> values;
};
struct LayoutStartFadeParam {
    uint64_t layoutId = 0;
    double duration = 0;
};

}  // namespace tarn::mediadispatch
