// Sample records and payloads for the tests of the inter-machine channels: well-formed ones, and
// the malformed ones that every receiving handler must refuse.
#pragma once

#include <string>
#include <vector>

#include <echorecordswire/echorecordsmsgpack.h>

namespace tarn::mediadispatch::testing {

inline VideoEchoAddr sampleAddr(const std::string& device, const std::string& url = "rtsp://x/1") {
    VideoEchoAddr addr;
    addr.cardId = {"node-a", 7, device, "extra"};
    addr.url = url;
    return addr;
}

inline VideoEchoSpliceStrategy sampleStrategy(const std::string& device, uint64_t mediaId = 501) {
    VideoEchoSpliceStrategy strategy;
    strategy.addr = sampleAddr(device);
    strategy.regions.push_back(SpliceRegion{11, mediaId, RegionRect{0.5F, 2.0F, 640.0F, 360.25F}});
    return strategy;
}

// Records compare by their encoding, which covers every field.
template <typename T>
bool sameRecord(const T& a, const T& b) {
    return wire::encodeRecord(a) == wire::encodeRecord(b);
}

template <typename T>
std::string argumentOf(const T& value) {
    const auto buffer = wire::encodeArgument(value);
    return std::string(buffer.data(), buffer.size());
}

// [value, 7]: the one-element argument array with a surplus element. Re-encoding the decoded value
// would not give these bytes back.
template <typename T>
std::string argumentWithSurplus(const T& value) {
    return "\x92" + argumentOf(value).substr(1) + "\x07";
}

inline const std::string kEmptyArray("\x90", 1);

// Payloads that decode into no record of either channel: nothing, a byte msgpack never uses, a
// string, ["abc"], a truncated record, 4 Gi announced elements, a negative id, a bad field type.
inline std::vector<std::string> malformedPayloads() {
    return {std::string(),
            std::string("\xc1", 1),
            std::string("\xa3"
                        "abc",
                        4),
            std::string("\x91\xa3"
                        "abc",
                        5),
            std::string("\x92\x94\xa1n", 4),
            std::string("\xdd\xff\xff\xff\xff", 5),
            std::string("\x91\x92\x94\xa1n\xff\xa1"
                        "d\xa1"
                        "e\xa1u",
                        12),
            std::string("\x91\x92\x92\x94\xa1n\x01\xa1"
                        "d\xa1"
                        "e\xa1u\x91\xc3",
                        15)};
}

}  // namespace tarn::mediadispatch::testing
