// The frame of a link message on the broker: a small header with the sender's identity and number,
// then the payload bytes unchanged. (The header travels in the payload rather than in MQTT 5 user
// properties, which cost the broker about a third of its throughput.)
//
//   frame    = magic version session sequence origin-length origin payload
//   magic    = 0x4C ("L"), version = 0x01
//   session  = 8 bytes, big-endian: the sender's start time in microseconds
//   sequence = 8 bytes, big-endian: grows by one per publication of the sender
//   origin-length = 1 byte, 1..255; origin = the sender's node id
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace host::link {

struct Envelope {
    std::string origin;
    uint64_t session = 0;
    uint64_t sequence = 0;
};

constexpr size_t kEnvelopeMaxBytes = 2 + 8 + 8 + 1 + 255;

// Empty when the origin is empty or longer than 255 bytes.
std::optional<std::string> frameMessage(const Envelope& envelope, std::string_view payload);

struct Unframed {
    Envelope envelope;
    std::string_view payload;  // a view into the frame
};
// Empty when the bytes are no frame of this version.
std::optional<Unframed> unframeMessage(std::string_view bytes);

std::optional<uint64_t> parseDecimal(std::string_view text);

}  // namespace host::link
