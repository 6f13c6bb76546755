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
// Payloads from other machines are decoded only through decodeRecord / decodeArgument, which check
// every declared length against the payload's own size before decoding and turn every failure into
// std::invalid_argument("unpack failed: Args not match!").
#pragma once

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

#include <msgpack.hpp>

#include <host/rpc/boundedunpack.h>

#include <tarnmediadispatchvideoecho/echorecords.h>

namespace tarn::mediadispatch::wire {

constexpr const char* kUnpackFailed = "unpack failed: Args not match!";

inline uint64_t readUnsigned(const msgpack::object& o) {
    if (o.type != msgpack::type::POSITIVE_INTEGER) {
        throw msgpack::type_error();
    }
    return o.via.u64;
}

inline float readFloat(const msgpack::object& o) {
    switch (o.type) {
        case msgpack::type::FLOAT32:
        case msgpack::type::FLOAT64:
            return static_cast<float>(o.via.f64);
        case msgpack::type::POSITIVE_INTEGER:
            return static_cast<float>(o.via.u64);
        case msgpack::type::NEGATIVE_INTEGER:
            return static_cast<float>(o.via.i64);
        default:
            throw msgpack::type_error();
    }
}

inline std::string readString(const msgpack::object& o) {
    switch (o.type) {
        case msgpack::type::STR:
            return std::string(o.via.str.ptr, o.via.str.size);
        case msgpack::type::BIN:
            return std::string(o.via.bin.ptr, o.via.bin.size);
        default:
            throw msgpack::type_error();
    }
}

inline const msgpack::object_array& readArray(const msgpack::object& o) {
    if (o.type != msgpack::type::ARRAY) {
        throw msgpack::type_error();
    }
    return o.via.array;
}

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

// The element at `index`, or null when the array is shorter.
inline const msgpack::object* element(const msgpack::object_array& array, uint32_t index) {
    return index < array.size ? &array.ptr[index] : nullptr;
}

}  // namespace tarn::mediadispatch::wire

namespace msgpack {
MSGPACK_API_VERSION_NAMESPACE(MSGPACK_DEFAULT_API_NS) {
    namespace adaptor {

    template <>
    struct convert<vantor::mediadispatch::STDisplayCardId> {
        const msgpack::object& operator()(const msgpack::object& o,
                                          vantor::mediadispatch::STDisplayCardId& v) const {
            namespace w = tarn::mediadispatch::wire;
            const auto& a = w::readArray(o);
            v = {};
            if (auto e = w::element(a, 0))
                v.nodeId = w::readString(*e);
            if (auto e = w::element(a, 1))
                v.id = w::readUnsigned(*e);
            if (auto e = w::element(a, 2))
                v.deviceId = w::readString(*e);
            if (auto e = w::element(a, 3))
                v.extra = w::readString(*e);
            return o;
        }
    };

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
    struct convert<tarn::mediadispatch::VideoEchoAddr> {
        const msgpack::object& operator()(const msgpack::object& o,
                                          tarn::mediadispatch::VideoEchoAddr& v) const {
            namespace w = tarn::mediadispatch::wire;
            const auto& a = w::readArray(o);
            v = {};
            if (auto e = w::element(a, 0))
                e->convert(v.cardId);
            if (auto e = w::element(a, 1))
                v.url = w::readString(*e);
            return o;
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
    struct convert<tarn::mediadispatch::RegionRect> {
        const msgpack::object& operator()(const msgpack::object& o,
                                          tarn::mediadispatch::RegionRect& v) const {
            namespace w = tarn::mediadispatch::wire;
            const auto& a = w::readArray(o);
            v = {};
            if (auto e = w::element(a, 0))
                v.x = w::readFloat(*e);
            if (auto e = w::element(a, 1))
                v.y = w::readFloat(*e);
            if (auto e = w::element(a, 2))
                v.width = w::readFloat(*e);
            if (auto e = w::element(a, 3))
                v.height = w::readFloat(*e);
            return o;
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
    struct convert<tarn::mediadispatch::SpliceRegion> {
        const msgpack::object& operator()(const msgpack::object& o,
                                          tarn::mediadispatch::SpliceRegion& v) const {
            namespace w = tarn::mediadispatch::wire;
            const auto& a = w::readArray(o);
            v = {};
            if (auto e = w::element(a, 0))
                v.ownerId = w::readUnsigned(*e);
            if (auto e = w::element(a, 1))
                v.mediaId = w::readUnsigned(*e);
            if (auto e = w::element(a, 2))
                e->convert(v.rect);
            return o;
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
    struct convert<tarn::mediadispatch::VideoEchoSpliceStrategy> {
        const msgpack::object& operator()(const msgpack::object& o,
                                          tarn::mediadispatch::VideoEchoSpliceStrategy& v) const {
            namespace w = tarn::mediadispatch::wire;
            const auto& a = w::readArray(o);
            v = {};
            if (auto e = w::element(a, 0))
                e->convert(v.addr);
            if (auto e = w::element(a, 1)) {
                const auto& regions = w::readArray(*e);
                v.regions.resize(regions.size);
                for (uint32_t i = 0; i < regions.size; ++i) {
                    regions.ptr[i].convert(v.regions[i]);
                }
            }
            return o;
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

// Walks the bytes without allocating before msgpack-c sees them: it allocates a container's
// element table as soon as it reads the container's header, so a few bytes that announce billions
// of elements must be refused first. Exactly one object must span the payload.
inline msgpack::object_handle unpackBounded(const char* data, std::size_t size) {
    if (data == nullptr || size == 0) {
        throw std::invalid_argument(kUnpackFailed);
    }
    return host::rpc::unpackBounded(data, size);
}

// A payload that is the record itself (the link channel).
template <typename T>
T decodeRecord(const char* data, std::size_t size) {
    const auto handle = unpackBounded(data, size);
    try {
        T value{};
        handle.get().convert(value);
        return value;
    } catch (const std::exception&) {
        throw std::invalid_argument(kUnpackFailed);
    }
}

// A payload that is the method's one argument wrapped in an array (the runtime channel). An empty
// array yields a default value; elements after the first are ignored.
template <typename T>
T decodeArgument(const char* data, std::size_t size) {
    const auto handle = unpackBounded(data, size);
    try {
        const auto& outer = readArray(handle.get());
        T value{};
        if (outer.size > 0) {
            outer.ptr[0].convert(value);
        }
        return value;
    } catch (const std::exception&) {
        throw std::invalid_argument(kUnpackFailed);
    }
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
