// Decoding of untrusted msgpack bytes (RPC bodies, payloads from other machines) in one place.
// Plain functions, callable from any thread.
//
// msgpack-c allocates a container's element table as soon as it reads the container's header, so a
// few bytes that claim a 4-billion-element array would make it allocate gigabytes. The bytes are
// therefore walked first without allocating: every declared length must fit into the bytes that
// remain, nesting is bounded, and exactly one object must span the whole input. Only then are they
// unpacked, with msgpack::unpack_limit set to the input size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <msgpack.hpp>

namespace host::rpc {

inline constexpr std::size_t kMaxNesting = 64;

// Returns the size of the one well-formed msgpack object at the start of `data`, or nullopt if the
// bytes are truncated, malformed, nested deeper than kMaxNesting, or declare more than they hold.
std::optional<std::size_t> measureMsgpackObject(const char* data, std::size_t size);

// Decodes exactly one object spanning data[0..size). Throws std::invalid_argument with the text
// "unpack failed: Args not match!" on any failure. The returned handle owns copies of the bytes.
msgpack::object_handle unpackBounded(const char* data, std::size_t size);

// Decodes `data` as a msgpack array and converts it into `T` (e.g. a std::tuple of the arguments;
// missing trailing elements keep their defaults, extra ones are ignored). Throws
// std::invalid_argument("unpack failed: Args not match!") on any failure.
template <typename T>
T unpackAs(const char* data, std::size_t size);

// A msgpack array header: element count and header size. nullopt if `data` is not an array.
struct ArrayHeader {
    std::uint32_t count = 0;
    std::size_t headerSize = 0;
};
std::optional<ArrayHeader> readArrayHeader(const char* data, std::size_t size);

// Appends a msgpack array header for `count` elements.
void appendArrayHeader(std::string& out, std::uint32_t count);

[[noreturn]] void throwArgsNotMatch();

template <typename T>
T unpackAs(const char* data, std::size_t size) {
    auto handle = unpackBounded(data, size);
    try {
        T value{};
        handle.get().convert(value);
        return value;
    } catch (const std::exception&) {
        throwArgsNotMatch();
    }
}

}  // namespace host::rpc
