#include <shm/shmhandle.h>

#include <cstring>
#include <utility>

#include <gtest/gtest.h>

#include "shmtestnames.h"

namespace {

using shm::ShmHandle;
using shm::ShmMode;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr uint64_t kChannelSize = 1638448;
constexpr uint64_t kChannelPages = 1642496;

TEST(ShmHandle, EmptyNameIsRefusedAndKeepsTheHeldSegment) {
    const std::string name = shmtest::freshName("emptyname");
    ShmHandle handle;
    ASSERT_TRUE(handle.acquire(name, 4096, ShmMode::createOpen));
    void* before = handle.mappedAddress();
    CaptureStderr();
    EXPECT_FALSE(handle.acquire("", 4096, ShmMode::createOpen));
    EXPECT_EQ(GetCapturedStderr(), "fail acquire: name is empty\n");
    EXPECT_TRUE(handle.isMapped());
    EXPECT_EQ(handle.mappedAddress(), before);
    EXPECT_EQ(handle.name(), name);
}

TEST(ShmHandle, SizeZeroIsRefusedAndKeepsTheHeldSegment) {
    const std::string name = shmtest::freshName("sizezero");
    ShmHandle handle;
    ASSERT_TRUE(handle.acquire(name, 4096, ShmMode::createOpen));
    CaptureStderr();
    EXPECT_FALSE(handle.acquire(name, 0, ShmMode::open));
    EXPECT_EQ(GetCapturedStderr(), "fail acquire: size is 0\n");
    EXPECT_TRUE(handle.isMapped());
}

TEST(ShmHandle, OpeningAMissingNameFailsAndReportsOnlyOncePerFiveSeconds) {
    const std::string name = shmtest::freshName("missing");
    ShmHandle handle;
    CaptureStderr();
    EXPECT_FALSE(handle.acquire(name, 1, ShmMode::open));
    EXPECT_FALSE(handle.acquire(name, 1, ShmMode::open));
    EXPECT_FALSE(handle.acquire(name, 1, ShmMode::open));
    EXPECT_EQ(GetCapturedStderr(),
              "fail OpenFileMapping[" + std::to_string(ENOENT) + "]: " + name + "\n");
    EXPECT_FALSE(handle.isMapped());
    EXPECT_EQ(handle.mappedAddress(), nullptr);
    EXPECT_FALSE(shmtest::existsInDevShm(name));
}

TEST(ShmHandle, EachHandleHasItsOwnReportLimit) {
    const std::string name = shmtest::freshName("twohandles");
    ShmHandle first;
    ShmHandle second;
    CaptureStderr();
    EXPECT_FALSE(first.acquire(name, 1, ShmMode::open));
    EXPECT_FALSE(second.acquire(name, 1, ShmMode::open));
    const std::string line = "fail OpenFileMapping[" + std::to_string(ENOENT) + "]: " + name + "\n";
    EXPECT_EQ(GetCapturedStderr(), line + line);
}

TEST(ShmHandle, ChannelSizeIsMappedInWholePagesOnBothSides) {
    const std::string name = shmtest::freshName("pages");
    ShmHandle writer;
    ShmHandle reader;
    ASSERT_TRUE(writer.acquire(name, kChannelSize, ShmMode::createOpen));
    ASSERT_TRUE(reader.acquire(name, 1, ShmMode::open));
    EXPECT_EQ(writer.mappedSize(), kChannelPages);
    EXPECT_EQ(reader.mappedSize(), kChannelPages);
    auto* out = static_cast<unsigned char*>(writer.mappedAddress());
    out[0] = 0x5a;
    out[kChannelPages - 1] = 0xa5;
    const auto* in = static_cast<const unsigned char*>(reader.mappedAddress());
    EXPECT_EQ(in[0], 0x5a);
    EXPECT_EQ(in[kChannelPages - 1], 0xa5);
}

TEST(ShmHandle, JoiningKeepsTheExistingSmallerSize) {
    const std::string name = shmtest::freshName("join");
    ShmHandle small;
    ShmHandle joiner;
    ASSERT_TRUE(small.acquire(name, 100, ShmMode::create));
    ASSERT_TRUE(joiner.acquire(name, kChannelSize, ShmMode::createOpen));
    EXPECT_EQ(small.mappedSize(), 4096u);
    EXPECT_EQ(joiner.mappedSize(), 4096u);
}

TEST(ShmHandle, CreateOnlyRefusesAnExistingName) {
    const std::string name = shmtest::freshName("createonly");
    ShmHandle first;
    ShmHandle second;
    ASSERT_TRUE(first.acquire(name, 4096, ShmMode::create));
    CaptureStderr();
    EXPECT_FALSE(second.acquire(name, 4096, ShmMode::create));
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(err, "fail CreateFileMapping[" + std::to_string(EEXIST) + "]: " + name +
                       "\nfail OpenFileMapping[" + std::to_string(EEXIST) + "]: " + name + "\n");
    EXPECT_FALSE(second.isMapped());
    EXPECT_TRUE(first.isMapped());
}

TEST(ShmHandle, ReleaseOfAnEmptyHandleReturnsMinusOneSilently) {
    ShmHandle handle;
    CaptureStderr();
    EXPECT_EQ(handle.release(), -1);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(ShmHandle, ReleaseForgetsTheSegment) {
    const std::string name = shmtest::freshName("release");
    ShmHandle handle;
    ASSERT_TRUE(handle.acquire(name, 4096, ShmMode::createOpen));
    EXPECT_EQ(handle.release(), 0);
    EXPECT_FALSE(handle.isMapped());
    EXPECT_EQ(handle.mappedSize(), 0u);
    EXPECT_EQ(handle.name(), "");
    EXPECT_EQ(handle.release(), -1);
}

TEST(ShmHandle, MoveLeavesAnEmptyUsableHandle) {
    const std::string name = shmtest::freshName("move");
    ShmHandle original;
    ASSERT_TRUE(original.acquire(name, 4096, ShmMode::createOpen));
    void* view = original.mappedAddress();
    ShmHandle moved(std::move(original));
    EXPECT_EQ(moved.mappedAddress(), view);
    EXPECT_FALSE(original.isMapped());  // NOLINT(bugprone-use-after-move): documented empty state
    EXPECT_EQ(original.release(), -1);
    ShmHandle assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.mappedAddress(), view);
    EXPECT_TRUE(shmtest::existsInDevShm(name));
}

TEST(ShmHandle, SwapExchangesSegments) {
    const std::string a = shmtest::freshName("swapa");
    const std::string b = shmtest::freshName("swapb");
    ShmHandle first;
    ShmHandle second;
    ASSERT_TRUE(first.acquire(a, 4096, ShmMode::createOpen));
    ASSERT_TRUE(second.acquire(b, 8192, ShmMode::createOpen));
    swap(first, second);
    EXPECT_EQ(first.name(), b);
    EXPECT_EQ(first.mappedSize(), 8192u);
    EXPECT_EQ(second.name(), a);
    EXPECT_EQ(second.mappedSize(), 4096u);
}

TEST(ShmHandle, ReacquireKeepsTheViewWhileSomebodyElseHoldsTheSegment) {
    const std::string name = shmtest::freshName("reacquirekeep");
    ShmHandle writer;
    ShmHandle reader;
    ASSERT_TRUE(writer.acquire(name, 4096, ShmMode::createOpen));
    ASSERT_TRUE(reader.acquire(name, 1, ShmMode::open));
    void* view = reader.mappedAddress();
    EXPECT_TRUE(reader.reacquire(name, 1, ShmMode::open));
    EXPECT_EQ(reader.mappedAddress(), view);
}

TEST(ShmHandle, ReacquireFailsOnceTheWriterHasLetGo) {
    const std::string name = shmtest::freshName("reacquiregone");
    ShmHandle writer;
    ShmHandle reader;
    ASSERT_TRUE(writer.acquire(name, 4096, ShmMode::createOpen));
    ASSERT_TRUE(reader.acquire(name, 1, ShmMode::open));
    writer.release();
    CaptureStderr();
    EXPECT_FALSE(reader.reacquire(name, 1, ShmMode::open));
    GetCapturedStderr();
    EXPECT_FALSE(reader.isMapped());
    EXPECT_FALSE(shmtest::existsInDevShm(name));
}

TEST(ShmHandle, ReacquireFollowsASegmentReplacedUnderTheName) {
    const std::string name = shmtest::freshName("reacquirereplaced");
    ShmHandle oldWriter;
    ShmHandle otherReader;
    ShmHandle reader;
    ASSERT_TRUE(oldWriter.acquire(name, 4096, ShmMode::createOpen));
    ASSERT_TRUE(otherReader.acquire(name, 1, ShmMode::open));
    ASSERT_TRUE(reader.acquire(name, 1, ShmMode::open));
    // Replace the name behind everybody's back, as a reclaimer would have.
    ASSERT_EQ(::shm_unlink(("/" + name).c_str()), 0);
    ShmHandle newWriter;
    ASSERT_TRUE(newWriter.acquire(name, 8192, ShmMode::createOpen));
    static_cast<char*>(newWriter.mappedAddress())[0] = 'n';
    ASSERT_TRUE(reader.reacquire(name, 1, ShmMode::open));
    EXPECT_EQ(reader.mappedSize(), 8192u);
    EXPECT_EQ(static_cast<char*>(reader.mappedAddress())[0], 'n');
}

}  // namespace
