// A cursor over untrusted msgpack bytes that decodes values one by one straight into the caller's
// types, without building msgpack-c's object tree, and charges every allocation the caller makes
// for them to a budget fixed up front. Owned by the decoding function; one thread.
//
// Every declared length is checked against the bytes that remain before anything is allocated, so
// a payload cannot make its decoder allocate more than its budget: a count of elements whose
// decoded size would break it is refused before the element table exists. Every failure throws
// std::invalid_argument("unpack failed: Args not match!").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace host::rpc {

class MsgpackReader {
public:
    // `budget`: bytes the decoded values may allocate in total (see charge()).
    MsgpackReader(const char* data, std::size_t size, std::size_t budget);

    // The element count of the array that starts here; refuses a count larger than the bytes left.
    std::uint32_t readArrayHeader();
    // A non-negative integer in any integer encoding.
    std::uint64_t readUnsigned();
    // An integer of either sign that fits into 64 signed bits.
    std::int64_t readSigned();
    bool readBool();
    // A float of either width, or an integer of either sign.
    float readFloat() { return static_cast<float>(readDouble()); }
    double readDouble();
    // A str or bin; a value too long for the small-string buffer is charged to the budget.
    std::string readString();
    // Skips one well-formed object (bounded nesting) without allocating.
    void skip();
    void skip(std::uint64_t count) {
        for (std::uint64_t i = 0; i < count; ++i) {
            skip();
        }
    }
    // Reserves `bytes` of the budget for an allocation about to be made; throws when it is spent.
    void charge(std::size_t bytes);
    // What an array of `count` elements of `elementSize` bytes costs; throws past the budget.
    void chargeArray(std::uint64_t count, std::size_t elementSize);
    // Throws unless every byte has been consumed.
    void expectEnd() const;

    std::size_t budgetLeft() const { return budget_; }
    std::size_t remaining() const { return size_ - pos_; }

private:
    unsigned char peek() const;
    std::uint64_t readBigEndian(std::size_t width);

    const unsigned char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::size_t budget_;
};

// The decoding budget of a payload of `size` bytes: 24 bytes per payload byte and a fixed 64 KiB,
// which together with the copies of the body that a server keeps stays under 32 times the body.
inline constexpr std::size_t kDecodeBudgetPerByte = 24;
inline constexpr std::size_t kDecodeBudgetFixed = 64 * 1024;
inline std::size_t decodeBudgetFor(std::size_t size) {
    return size * kDecodeBudgetPerByte + kDecodeBudgetFixed;
}

}  // namespace host::rpc
