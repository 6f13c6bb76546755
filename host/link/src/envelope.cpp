#include "envelope.h"

namespace host::link {

namespace {

constexpr unsigned char kMagic = 0x4C;
constexpr unsigned char kVersion = 0x01;
constexpr size_t kFixedBytes = 2 + 8 + 8 + 1;

void putBigEndian(std::string& out, uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

uint64_t getBigEndian(std::string_view bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    }
    return value;
}

}  // namespace

std::optional<std::string> frameMessage(const Envelope& envelope, std::string_view payload) {
    if (envelope.origin.empty() || envelope.origin.size() > 255) {
        return std::nullopt;
    }
    std::string frame;
    frame.reserve(kFixedBytes + envelope.origin.size() + payload.size());
    frame.push_back(static_cast<char>(kMagic));
    frame.push_back(static_cast<char>(kVersion));
    putBigEndian(frame, envelope.session);
    putBigEndian(frame, envelope.sequence);
    frame.push_back(static_cast<char>(envelope.origin.size()));
    frame.append(envelope.origin);
    frame.append(payload);
    return frame;
}

std::optional<Unframed> unframeMessage(std::string_view bytes) {
    if (bytes.size() < kFixedBytes || static_cast<unsigned char>(bytes[0]) != kMagic ||
        static_cast<unsigned char>(bytes[1]) != kVersion) {
        return std::nullopt;
    }
    const size_t originBytes = static_cast<unsigned char>(bytes[kFixedBytes - 1]);
    if (originBytes == 0 || bytes.size() < kFixedBytes + originBytes) {
        return std::nullopt;
    }
    Unframed result;
    result.envelope.session = getBigEndian(bytes.substr(2));
    result.envelope.sequence = getBigEndian(bytes.substr(10));
    result.envelope.origin = std::string(bytes.substr(kFixedBytes, originBytes));
    result.payload = bytes.substr(kFixedBytes + originBytes);
    return result;
}

std::optional<uint64_t> parseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace host::link
