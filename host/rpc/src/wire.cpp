#include <host/rpc/wire.h>

#include <msgpack.hpp>

namespace host::rpc {

namespace {

template <typename T>
void putLittleEndian(T value, char* out) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out[i] = static_cast<char>(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

template <typename T>
T getLittleEndian(const char* in) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<T>(static_cast<std::uint8_t>(in[i])) << (8 * i);
    }
    return value;
}

}  // namespace

void encodeHeader(const FrameHeader& header, char* out) {
    putLittleEndian(header.bodyLen, out);
    putLittleEndian(header.reqId, out + 4);
    out[12] = static_cast<char>(header.reqType);
}

FrameHeader decodeHeader(const char* in) {
    FrameHeader header;
    header.bodyLen = getLittleEndian<std::uint32_t>(in);
    header.reqId = getLittleEndian<std::uint64_t>(in + 4);
    header.reqType = static_cast<std::uint8_t>(in[12]);
    return header;
}

std::string encodeFrame(std::uint64_t reqId, RequestType type, std::string_view body) {
    std::string frame(kHeaderSize + body.size(), '\0');
    encodeHeader({static_cast<std::uint32_t>(body.size()), reqId, static_cast<std::uint8_t>(type)},
                 frame.data());
    body.copy(frame.data() + kHeaderSize, body.size());
    return frame;
}

std::string encodeOkReply() {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_array(1);
    packer.pack(static_cast<int>(ResultCode::kOk));
    return std::string(buffer.data(), buffer.size());
}

std::string encodeOkReply(std::string_view packedValue) {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_array(2);
    packer.pack(static_cast<int>(ResultCode::kOk));
    buffer.write(packedValue.data(), packedValue.size());
    return std::string(buffer.data(), buffer.size());
}

std::string encodeFailReply(std::string_view message) {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_array(2);
    packer.pack(static_cast<int>(ResultCode::kFail));
    packer.pack(message);
    return std::string(buffer.data(), buffer.size());
}

}  // namespace host::rpc
