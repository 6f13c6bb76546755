// Sample records and payloads for the tests of the inter-machine channels: well-formed ones, and
// the malformed ones that every receiving handler must refuse.
#pragma once

#include <string>
#include <vector>

#include <echorecordswire/echorecordsmsgpack.h>

namespace tarn::mediadispatch::testing {

inline VideoEchoAddr sampleAddr(const std::string& device, const std::string& url = "rtsp://x/1") {
    VideoEchoAddr addr;
    addr.cardId.nodeId = "node-a";
    addr.cardId.id = 7;
    addr.cardId.deviceId = device;
    addr.cardId.extra = "extra";
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

inline std::string argumentPayload(const msgpack::sbuffer& buffer) {
    return std::string(buffer.data(), buffer.size());
}

template <typename T>
std::string argumentOf(const T& value) {
    return argumentPayload(wire::encodeArgument(value));
}

// [value, 7]: the one-element argument array with a surplus element. Re-encoding the decoded value
// would not give these bytes back.
template <typename T>
std::string argumentWithSurplus(const T& value) {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_array(2);
    packer.pack(value);
    packer.pack_uint8(7);
    return argumentPayload(buffer);
}

inline const std::string kEmptyArray("\x90", 1);

// Payloads that decode into no record of either channel.
inline std::vector<std::string> malformedPayloads() {
    return {
        std::string(),           // nothing at all
        std::string("\xc1", 1),  // a byte msgpack never uses
        std::string("\xa3"
                    "abc",
                    4),  // a string, not an array
        std::string("\x91\xa3"
                    "abc",
                    5),                          // [ "abc" ]
        std::string("\x92\x94\xa1n", 4),         // truncated
        std::string("\xdd\xff\xff\xff\xff", 5),  // announces 4 Gi elements
        std::string("\x91\x92\x94\xa1n\xff\xa1"
                    "d\xa1"
                    "e\xa1u",
                    12),  // negative id
        std::string("\x91\x92\x92\x94\xa1n\x01\xa1"
                    "d\xa1"
                    "e\xa1u\x91\xc3",
                    15),
    };
}

}  // namespace tarn::mediadispatch::testing
