// msgpack encoding of the echo records: positional arrays in field order, no field names.
//
//   STDisplayCardId         = [nodeId: str, id: uint, deviceId: str, extra: str]
//   VideoEchoAddr           = [cardId: STDisplayCardId, url: str]
//   RegionRect              = [x: num, y: num, width: num, height: num]
//   SpliceRegion            = [ownerId: uint, mediaId: uint, rect: RegionRect]
//   VideoEchoSpliceStrategy = [addr: VideoEchoAddr, regions: [SpliceRegion...]]
//
// Writers use the smallest unsigned form; a float with an integral value is written as an integer
// (unsigned if not negative), any other as float32. Readers take: uint -> positive integers only;
// num -> float32, float64, positive or negative integer; str -> str or bin. A record must be an
// array; missing trailing elements keep their defaults, surplus ones are ignored. Anything else is
// a type error.
//
// Payloads from other machines are decoded only through decodeRecord / decodeArgument, which read
// the bytes straight into the records (no intermediate object tree), check every declared length
// against the bytes that remain, charge what the records allocate to a budget proportional to the
// payload (host::rpc::decodeBudgetFor) and turn every failure into
// std::invalid_argument("unpack failed: Args not match!").
#pragma once

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include <msgpack.hpp>

#include <host/rpc/msgpackreader.h>

#include <echorecords/echorecords.h>

namespace tarn::mediadispatch::wire {

constexpr const char* kUnpackFailed = "unpack failed: Args not match!";

template <typename Stream>
void packFloat(msgpack::packer<Stream>& packer, float value) {
    // 2^64 and -2^63 are exact in float; the bounds keep the conversions defined.
    if (std::isfinite(value) && value == std::trunc(value)) {
        if (value >= 0.0F && value < 18446744073709551616.0F) {
            packer.pack_uint64(static_cast<uint64_t>(value));
            return;
        }
        if (value < 0.0F && value >= -9223372036854775808.0F) {
            packer.pack_int64(static_cast<int64_t>(value));
            return;
        }
    }
    packer.pack_float(value);
}

}  // namespace tarn::mediadispatch::wire

namespace msgpack {
MSGPACK_API_VERSION_NAMESPACE(MSGPACK_DEFAULT_API_NS) {
    namespace adaptor {

    template <>
    struct pack<vantor::mediadispatch::STDisplayCardId> {
        template <typename Stream>
        msgpack::packer<Stream>& operator()(msgpack::packer<Stream>& p,
                                            const vantor::mediadispatch::STDisplayCardId& v) const {
            p.pack_array(4);
            p.pack(v.nodeId);
            p.pack_uint64(v.id);
            p.pack(v.deviceId);
            p.pack(v.extra);
            return p;
        }
    };

    template <>
    struct pack<tarn::mediadispatch::VideoEchoAddr> {
        template <typename Stream>
        msgpack::packer<Stream>& operator()(msgpack::packer<Stream>& p,
                                            const tarn::mediadispatch::VideoEchoAddr& v) const {
            p.pack_array(2);
            p.pack(v.cardId);
            p.pack(v.url);
            return p;
        }
    };

    template <>
    struct pack<tarn::mediadispatch::RegionRect> {
        template <typename Stream>
        msgpack::packer<Stream>& operator()(msgpack::packer<Stream>& p,
                                            const tarn::mediadispatch::RegionRect& v) const {
            namespace w = tarn::mediadispatch::wire;
            p.pack_array(4);
            w::packFloat(p, v.x);
            w::packFloat(p, v.y);
            w::packFloat(p, v.width);
            w::packFloat(p, v.height);
            return p;
        }
    };

    template <>
    struct pack<tarn::mediadispatch::SpliceRegion> {
        template <typename Stream>
        msgpack::packer<Stream>& operator()(msgpack::packer<Stream>& p,
                                            const tarn::mediadispatch::SpliceRegion& v) const {
            p.pack_array(3);
            p.pack_uint64(v.ownerId);
            p.pack_uint64(v.mediaId);
            p.pack(v.rect);
            return p;
        }
    };

    template <>
    struct pack<tarn::mediadispatch::VideoEchoSpliceStrategy> {
        template <typename Stream>
        msgpack::packer<Stream>& operator()(
            msgpack::packer<Stream>& p,
            const tarn::mediadispatch::VideoEchoSpliceStrategy& v) const {
            p.pack_array(2);
            p.pack(v.addr);
            p.pack(v.regions);
            return p;
        }
    };

    }  // namespace adaptor
}  // MSGPACK_API_VERSION_NAMESPACE
}  // namespace msgpack

namespace tarn::mediadispatch::wire {

using host::rpc::MsgpackReader;

// Each record is an array read field by field: missing trailing elements keep their defaults,
// surplus ones are skipped without being decoded.
template <typename T>
void readInto(MsgpackReader& in, std::vector<T>& v);
inline void readInto(MsgpackReader& in, VideoEchoSpliceStrategy& v);

inline void readInto(MsgpackReader& in, STDisplayCardId& v) {
    const uint32_t n = in.readArrayHeader();
    v = {};
    if (n > 0)
        v.nodeId = in.readString();
    if (n > 1)
        v.id = in.readUnsigned();
    if (n > 2)
        v.deviceId = in.readString();
    if (n > 3)
        v.extra = in.readString();
    in.skip(n > 4 ? n - 4 : 0);
}

inline void readInto(MsgpackReader& in, VideoEchoAddr& v) {
    const uint32_t n = in.readArrayHeader();
    v = {};
    if (n > 0)
        readInto(in, v.cardId);
    if (n > 1)
        v.url = in.readString();
    in.skip(n > 2 ? n - 2 : 0);
}

inline void readInto(MsgpackReader& in, RegionRect& v) {
    const uint32_t n = in.readArrayHeader();
    v = {};
    if (n > 0)
        v.x = in.readFloat();
    if (n > 1)
        v.y = in.readFloat();
    if (n > 2)
        v.width = in.readFloat();
    if (n > 3)
        v.height = in.readFloat();
    in.skip(n > 4 ? n - 4 : 0);
}

inline void readInto(MsgpackReader& in, SpliceRegion& v) {
    const uint32_t n = in.readArrayHeader();
    v = {};
    if (n > 0)
        v.ownerId = in.readUnsigned();
    if (n > 1)
        v.mediaId = in.readUnsigned();
    if (n > 2)
        readInto(in, v.rect);
    in.skip(n > 3 ? n - 3 : 0);
}

// The element table is charged before it is allocated: a count that the budget cannot pay for is
// refused here, whatever the elements would have been.
template <typename T>
void readInto(MsgpackReader& in, std::vector<T>& v) {
    const uint32_t n = in.readArrayHeader();
    in.chargeArray(n, sizeof(T));
    v.clear();
    v.resize(n);
    for (auto& element : v) {
        readInto(in, element);
    }
}

inline void readInto(MsgpackReader& in, VideoEchoSpliceStrategy& v) {
    const uint32_t n = in.readArrayHeader();
    v = {};
    if (n > 0)
        readInto(in, v.addr);
    if (n > 1)
        readInto(in, v.regions);
    in.skip(n > 2 ? n - 2 : 0);
}

// A payload that is the record itself (the link channel).
template <typename T>
T decodeRecord(const char* data, std::size_t size) {
    if (data == nullptr || size == 0) {
        throw std::invalid_argument(kUnpackFailed);
    }
    MsgpackReader in(data, size, host::rpc::decodeBudgetFor(size));
    T value{};
    readInto(in, value);
    in.expectEnd();
    return value;
}

// A payload that is the method's one argument wrapped in an array (the runtime channel). An empty
// array yields a default value; elements after the first are ignored.
template <typename T>
T decodeArgument(const char* data, std::size_t size) {
    if (data == nullptr || size == 0) {
        throw std::invalid_argument(kUnpackFailed);
    }
    MsgpackReader in(data, size, host::rpc::decodeBudgetFor(size));
    const uint32_t n = in.readArrayHeader();
    T value{};
    if (n > 0) {
        readInto(in, value);
    }
    in.skip(n > 0 ? n - 1 : 0);
    in.expectEnd();
    return value;
}

template <typename T>
std::string encodeRecord(const T& value) {
    msgpack::sbuffer buffer(2048);
    msgpack::pack(buffer, value);
    return std::string(buffer.data(), buffer.size());
}

// The runtime payload: the value as a one-element array, in a buffer that starts at 2048 bytes.
template <typename T>
msgpack::sbuffer encodeArgument(const T& value) {
    msgpack::sbuffer buffer(2048);
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_array(1);
    packer.pack(value);
    return buffer;
}

}  // namespace tarn::mediadispatch::wire
