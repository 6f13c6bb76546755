// Decoding of untrusted msgpack: lengths that lie, truncation, nesting, trailing bytes.
#include <gtest/gtest.h>

#include <tuple>

#include <host/rpc/boundedunpack.h>

#include "rawpeer.h"

namespace {

using rpctest::bytes;

void expectArgsNotMatch(const std::string& data) {
    try {
        host::rpc::unpackBounded(data.data(), data.size());
        FAIL() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "unpack failed: Args not match!");
    }
}

TEST(BoundedUnpack, MeasuresOneWellFormedObject) {
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, std::make_tuple(std::string("name"), 7, std::vector<int>{1, 2, 3}, 2.5));
    const auto size = host::rpc::measureMsgpackObject(buffer.data(), buffer.size());
    ASSERT_TRUE(size);
    EXPECT_EQ(*size, buffer.size());
    auto handle = host::rpc::unpackBounded(buffer.data(), buffer.size());
    EXPECT_EQ(handle.get().via.array.size, 4u);
}

TEST(BoundedUnpack, RefusesLengthsBeyondTheBytesDeepNestingAndTrailingBytes) {
    std::string deep(host::rpc::kMaxNesting + 1, static_cast<char>(0x91));
    deep.push_back(static_cast<char>(0xc0));
    for (const std::string& data :
         {bytes({0xdd, 0xff, 0xff, 0xff, 0xff}),        // array32 of 4 billion
          bytes({0xdf, 0xff, 0xff, 0xff, 0xff, 0, 0}),  // map32 of 4 billion
          bytes({0x93, 0x01, 0x02}),                    // 3 elements, 2 present
          bytes({0xdb, 0xff, 0xff, 0xff, 0xff, 'a'}),   // str32
          bytes({0xc6, 0x7f, 0xff, 0xff, 0xff}),        // bin32
          bytes({0xa5, 'a', 'b'}),                      // fixstr 5
          bytes({0xc9, 0xff, 0xff, 0xff, 0xff, 1}),     // ext32
          deep, bytes({0xc1}), std::string(), bytes({0x90, 0x90})}) {
        expectArgsNotMatch(data);
    }
    std::string allowed(host::rpc::kMaxNesting - 1, static_cast<char>(0x91));
    allowed.push_back(static_cast<char>(0xc0));
    EXPECT_NO_THROW(host::rpc::unpackBounded(allowed.data(), allowed.size()));
}

TEST(BoundedUnpack, ConversionKeepsDefaultsForMissingElementsAndIgnoresExtraOnes) {
    const auto empty = bytes({0x90});
    const auto none = host::rpc::unpackAs<std::tuple<int, std::string>>(empty.data(), empty.size());
    EXPECT_EQ(std::get<0>(none), 0);
    EXPECT_EQ(std::get<1>(none), "");
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, std::make_tuple(5, std::string("x"), 9));
    const auto two =
        host::rpc::unpackAs<std::tuple<int, std::string>>(buffer.data(), buffer.size());
    EXPECT_EQ(std::get<0>(two), 5);
    EXPECT_EQ(std::get<1>(two), "x");
}

TEST(BoundedUnpack, ConversionOfWrongTypesThrowsArgsNotMatch) {
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, std::make_tuple(std::string("not a number")));
    try {
        host::rpc::unpackAs<std::tuple<int>>(buffer.data(), buffer.size());
        FAIL() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "unpack failed: Args not match!");
    }
}

TEST(BoundedUnpack, ArrayHeadersRoundTrip) {
    for (std::uint32_t count : {0u, 15u, 16u, 65535u, 65536u}) {
        std::string header;
        host::rpc::appendArrayHeader(header, count);
        const auto read = host::rpc::readArrayHeader(header.data(), header.size());
        ASSERT_TRUE(read);
        EXPECT_EQ(read->count, count);
        EXPECT_EQ(read->headerSize, header.size());
    }
    EXPECT_FALSE(host::rpc::readArrayHeader("\xa1x", 2));
}

}  // namespace
