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
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <msgpack.hpp>

#include <host/rpc/msgpackreader.h>

namespace host::rpc {

inline constexpr std::size_t kMaxNesting = 64;

// Returns the size of the one well-formed msgpack object at the start of `data`, or nullopt if the
// bytes are truncated, malformed, nested deeper than kMaxNesting, or declare more than they hold.
std::optional<std::size_t> measureMsgpackObject(const char* data, std::size_t size);

// Decodes exactly one object spanning data[0..size). Throws std::invalid_argument with the text
// "unpack failed: Args not match!" on any failure. The returned handle owns copies of the bytes.
msgpack::object_handle unpackBounded(const char* data, std::size_t size);

// Decodes `data` into `T` straight from the bytes, under the same allocation budget as the
// records (decodeBudgetFor(size)): a count of elements the budget cannot pay for is refused before
// anything is allocated. T is a bool, number, enum, std::string, std::vector or std::tuple of them
// (a tuple's missing trailing elements keep their defaults, extra ones are ignored), or a type with
// a readInto(MsgpackReader&, T&) found by argument-dependent lookup. Throws
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

namespace detail {

template <typename T>
struct IsVector : std::false_type {};
template <typename E, typename A>
struct IsVector<std::vector<E, A>> : std::true_type {};

template <typename T>
struct IsTuple : std::false_type {};
template <typename... Ts>
struct IsTuple<std::tuple<Ts...>> : std::true_type {};

template <typename T>
void readValue(MsgpackReader& in, T& value);

template <typename Tuple, std::size_t... I>
void readTupleElements(MsgpackReader& in, Tuple& tuple, std::uint32_t count,
                       std::index_sequence<I...>) {
    ((I < count ? readValue(in, std::get<I>(tuple)) : void()), ...);
}

template <typename Integer>
Integer narrowSigned(std::int64_t wide) {
    if (wide < std::numeric_limits<Integer>::min() || wide > std::numeric_limits<Integer>::max()) {
        throwArgsNotMatch();
    }
    return static_cast<Integer>(wide);
}

template <typename Integer>
Integer narrowUnsigned(std::uint64_t wide) {
    if (wide > std::numeric_limits<Integer>::max()) {
        throwArgsNotMatch();
    }
    return static_cast<Integer>(wide);
}

template <typename T>
void readValue(MsgpackReader& in, T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        value = in.readBool();
    } else if constexpr (std::is_enum_v<T>) {
        std::underlying_type_t<T> raw{};
        readValue(in, raw);
        value = static_cast<T>(raw);
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        value = narrowSigned<T>(in.readSigned());
    } else if constexpr (std::is_integral_v<T>) {
        value = narrowUnsigned<T>(in.readUnsigned());
    } else if constexpr (std::is_floating_point_v<T>) {
        value = static_cast<T>(in.readDouble());
    } else if constexpr (std::is_same_v<T, std::string>) {
        value = in.readString();
    } else if constexpr (IsVector<T>::value) {
        const std::uint32_t count = in.readArrayHeader();
        in.chargeArray(count, sizeof(typename T::value_type));
        value.clear();
        value.resize(count);
        for (auto& element : value) {
            readValue(in, element);
        }
    } else if constexpr (IsTuple<T>::value) {
        constexpr std::size_t kSize = std::tuple_size_v<T>;
        const std::uint32_t count = in.readArrayHeader();
        readTupleElements(in, value, count, std::make_index_sequence<kSize>());
        in.skip(count > kSize ? count - kSize : 0);
    } else {
        readInto(in, value);
    }
}

}  // namespace detail

template <typename T>
T unpackAs(const char* data, std::size_t size) {
    if (data == nullptr || size == 0) {
        throwArgsNotMatch();
    }
    MsgpackReader in(data, size, decodeBudgetFor(size));
    T value{};
    detail::readValue(in, value);
    in.expectEnd();
    return value;
}

}  // namespace host::rpc
