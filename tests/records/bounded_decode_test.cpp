// Payloads from other machines cannot make the decoder allocate more than their own size allows,
// recurse without bound, or fail with anything but the decoding error.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include <host/rpc/boundedunpack.h>
#include <tarnmediadispatchvideoecho/echorecordsmsgpack.h>

namespace tarn::mediadispatch {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

const std::string kHugeArray("\xdd\xff\xff\xff\xff", 5);  // array of 2^32 - 1 elements

template <typename T>
bool failsWithDecodingError(const std::string& payload) {
    try {
        wire::decodeRecord<T>(payload.data(), payload.size());
    } catch (const std::invalid_argument& error) {
        return std::string(error.what()) == "unpack failed: Args not match!";
    } catch (...) {
        return false;
    }
    return false;
}

TEST(BoundedDecode, HugeAnnouncedArrayIsRefusedBeforeAllocation) {
    // The walk over the bytes, not an allocation failure, must stop it.
    EXPECT_FALSE(host::rpc::measureMsgpackObject(kHugeArray.data(), kHugeArray.size()));
    const std::string nested("\x91\xdd\x00\x10\x00\x00\x91\x91", 8);
    EXPECT_FALSE(host::rpc::measureMsgpackObject(nested.data(), nested.size()));
    EXPECT_TRUE(failsWithDecodingError<std::vector<VideoEchoAddr>>(kHugeArray));
}

TEST(BoundedDecode, HugeArrayFailsFastUnderAMemoryLimit) {
    if (kSanitized) {
        GTEST_SKIP() << "sanitizer runtimes reserve address space that RLIMIT_AS would refuse";
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit limit{512UL << 20, 512UL << 20};
        ::setrlimit(RLIMIT_AS, &limit);
        const bool ok = failsWithDecodingError<std::vector<VideoEchoSpliceStrategy>>(kHugeArray) &&
                        failsWithDecodingError<VideoEchoSpliceStrategy>(
                            std::string("\x92\x90\xdd\xff\xff\xff\xff", 7));
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(BoundedDecode, HugeStringsMapsAndDeepNestingAreRefused) {
    EXPECT_TRUE(
        failsWithDecodingError<STDisplayCardId>(std::string("\x91\xdb\xff\xff\xff\xf0", 6)));
    EXPECT_TRUE(
        failsWithDecodingError<STDisplayCardId>(std::string("\x91\xc6\xff\xff\xff\xf0", 6)));
    EXPECT_TRUE(failsWithDecodingError<STDisplayCardId>(std::string("\xdf\xff\xff\xff\xff", 5)));
    EXPECT_TRUE(failsWithDecodingError<VideoEchoAddr>(std::string(100000, '\x91')));
}

TEST(BoundedDecode, EmptyAndTruncatedPayloadsAreDecodingErrors) {
    EXPECT_TRUE(failsWithDecodingError<VideoEchoAddr>(""));
    const std::string full = wire::encodeRecord(VideoEchoAddr{{"n", 1, "d", "e"}, "url"});
    for (size_t size = 1; size < full.size(); ++size) {
        EXPECT_TRUE(failsWithDecodingError<VideoEchoAddr>(full.substr(0, size))) << size;
    }
    EXPECT_THROW(wire::decodeArgument<VideoEchoAddr>(nullptr, 4), std::invalid_argument);
}

TEST(BoundedDecode, RandomBytesOnlyEverGiveTheDecodingError) {
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        std::string payload(1 + random() % 40, '\0');
        for (auto& c : payload) {
            c = static_cast<char>(random());
        }
        // Bias toward array headers so that the decoder gets past the first byte.
        payload[0] = static_cast<char>(0x90 | (random() % 4));
        try {
            wire::decodeArgument<VideoEchoSpliceStrategy>(payload.data(), payload.size());
            wire::decodeRecord<std::vector<VideoEchoAddr>>(payload.data(), payload.size());
        } catch (const std::invalid_argument& error) {
            ASSERT_STREQ(error.what(), "unpack failed: Args not match!");
        }
    }
}

}  // namespace
}  // namespace tarn::mediadispatch
