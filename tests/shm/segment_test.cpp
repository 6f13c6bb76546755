// The segment layer's contract within one process: the lines it reports, sizes and pages, modes,
// permissions, and what handles do with what they hold.
#include <shm/shm.h>
#include <shm/shmhandle.h>

#include <cstdio>
#include <functional>
#include <utility>

#include <gtest/gtest.h>

#include "shmtestnames.h"

namespace {

using shm::ShmHandle;
using shm::ShmMode;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

std::string line(const char* call, int error, const std::string& name) {
    return std::string("fail ") + call + "[" + std::to_string(error) + "]: " + name + "\n";
}

TEST(ShmSegment, RefusedCallsReportTheirOwnLineAndKeepWhatIsHeld) {
    const std::string name = shmtest::freshName("refused");
    ShmHandle held;
    ASSERT_TRUE(held.acquire(name, 4096, ShmMode::createOpen));
    void* const view = held.mappedAddress();
    shm::ShmId* unmapped = shm::acquire(name + "_u", 4096, ShmMode::create);
    ASSERT_NE(unmapped, nullptr);
    char unmappedLine[128];
    std::snprintf(unmappedLine, sizeof unmappedLine,
                  "fail release: invalid id (mem = %p, size = %zd)\n", static_cast<void*>(nullptr),
                  static_cast<ssize_t>(4096));
    ShmHandle empty;
    struct Case {
        std::function<bool()> call;  // true when the call returned what it must
        std::string lines;
    };
    const Case cases[] = {
        {[] { return shm::acquire("", 4096, ShmMode::createOpen) == nullptr; },
         "fail acquire: name is empty\n"},
        {[&] { return !held.acquire("", 4096, ShmMode::createOpen); },
         "fail acquire: name is empty\n"},
        {[&] { return !held.acquire(name, 0, ShmMode::open); }, "fail acquire: size is 0\n"},
        {[] { return shm::get_mem(nullptr) == nullptr; }, "fail get_mem: invalid id (null)\n"},
        {[] { return shm::release(nullptr) == -1; }, "fail release: invalid id (null)\n"},
        {[] { return shm::remove("") == -1; }, "fail remove: name is empty\n"},
        {[&] { return shm::remove(name) == 0; }, ""},
        {[&] { return empty.release() == -1; }, ""},
        {[&] { return shm::release(unmapped) == 0; }, unmappedLine},
        {[] { return shm::acquire(shmtest::freshName("none"), 1, ShmMode::open) == nullptr; }, ""},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        CaptureStderr();
        EXPECT_TRUE(cases[i].call()) << "case " << i;
        EXPECT_EQ(GetCapturedStderr(), cases[i].lines) << "case " << i;
    }
    EXPECT_EQ(held.mappedAddress(), view);
    EXPECT_EQ(held.name(), name);
    EXPECT_TRUE(shmtest::existsInDevShm(name)) << "remove checks the name only";
    EXPECT_FALSE(shmtest::existsInDevShm(name + "_u")) << "an unmapped id still lets go";
}

TEST(ShmSegment, SizesAreLowThirtyTwoBitsInWholePagesAndAJoinerKeepsTheExistingOne) {
    struct Case {
        uint64_t size;
        ShmMode mode;
        uint64_t mapped;
    };
    for (const Case c : {Case{5000, ShmMode::create, 8192},
                         Case{(uint64_t{1} << 32) + 4096, ShmMode::create, 4096},
                         Case{1638448, static_cast<ShmMode>(7), 1642496}}) {
        const std::string name = shmtest::freshName("size");
        ShmHandle writer;
        ShmHandle joiner;
        ShmHandle reader;
        ASSERT_TRUE(writer.acquire(name, c.size, c.mode));
        ASSERT_TRUE(joiner.acquire(name, 1 << 24, ShmMode::createOpen));
        ASSERT_TRUE(reader.acquire(name, 1, ShmMode::open));
        EXPECT_TRUE(writer.created());
        EXPECT_FALSE(joiner.created());
        for (const ShmHandle* h : {&writer, &joiner, &reader}) {
            EXPECT_EQ(h->mappedSize(), c.mapped);
        }
        static_cast<char*>(writer.mappedAddress())[c.mapped - 1] = 'z';
        EXPECT_EQ(static_cast<const char*>(reader.mappedAddress())[c.mapped - 1], 'z');
    }
}

TEST(ShmSegment, CreateOnlyRefusesAnExistingNameAndAMissingNameIsReportedOncePerHandle) {
    const std::string name = shmtest::freshName("exists");
    ShmHandle first;
    ShmHandle second;
    ASSERT_TRUE(first.acquire(name, 4096, ShmMode::create));
    CaptureStderr();
    EXPECT_FALSE(second.acquire(name, 4096, ShmMode::create));
    EXPECT_EQ(GetCapturedStderr(),
              line("CreateFileMapping", EEXIST, name) + line("OpenFileMapping", EEXIST, name));
    const std::string missing = shmtest::freshName("missing");
    ShmHandle one;
    ShmHandle other;
    CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(one.acquire(missing, 1, ShmMode::open));
        EXPECT_FALSE(other.acquire(missing, 1, ShmMode::open));
    }
    EXPECT_EQ(GetCapturedStderr(),
              line("OpenFileMapping", ENOENT, missing) + line("OpenFileMapping", ENOENT, missing));
    EXPECT_FALSE(shmtest::existsInDevShm(missing));
}

TEST(ShmSegment, CreatedSegmentsAreWritableByTheirOwnerOnlyWhateverTheUmask) {
    struct Case {
        int64_t group;
        mode_t mode;
    };
    for (const Case c : {Case{-1, 0644}, Case{12345, 0640}}) {
        const std::string name = shmtest::freshName("mode");
        const mode_t previous = ::umask(077);
        shm::ShmAccess access;
        access.readerGroup = c.group;
        shm::ShmId* id = shm::acquire(name, 4096, ShmMode::create, access);
        ::umask(previous);
        ASSERT_NE(id, nullptr);
        struct stat status {};
        ASSERT_EQ(::stat(("/dev/shm/" + name).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, c.mode);
        if (c.group >= 0) {
            EXPECT_EQ(status.st_gid, static_cast<gid_t>(c.group));
        }
        EXPECT_EQ(shm::release(id), 0);
    }
}

TEST(ShmSegment, HandlesMoveSwapAndFollowTheSegmentUnderTheirName) {
    const std::string name = shmtest::freshName("handle");
    ShmHandle writer;
    ASSERT_TRUE(writer.acquire(name, 4096, ShmMode::createOpen));
    ShmHandle reader;
    ASSERT_TRUE(reader.acquire(name, 1, ShmMode::open));
    void* const view = reader.mappedAddress();
    ShmHandle moved(std::move(reader));
    EXPECT_EQ(reader.release(), -1);  // NOLINT(bugprone-use-after-move): documented empty state
    ShmHandle other;
    swap(moved, other);
    EXPECT_EQ(other.mappedAddress(), view);
    EXPECT_TRUE(other.reacquire(name, 1, ShmMode::open));
    EXPECT_EQ(other.mappedAddress(), view) << "kept while its name refers to it";
    // Replaced behind everybody's back, as a reclaimer would: the reader follows the name.
    ASSERT_EQ(::shm_unlink(("/" + name).c_str()), 0);
    ShmHandle newWriter;
    ASSERT_TRUE(newWriter.acquire(name, 8192, ShmMode::createOpen));
    ASSERT_TRUE(other.reacquire(name, 1, ShmMode::open));
    EXPECT_EQ(other.mappedSize(), 8192u);
    newWriter.release();
    CaptureStderr();
    EXPECT_FALSE(other.reacquire(name, 1, ShmMode::open));
    GetCapturedStderr();
    EXPECT_FALSE(other.isMapped());
    EXPECT_EQ(other.name(), name);
    EXPECT_FALSE(shmtest::existsInDevShm(name));
}

}  // namespace
