// The segment layer's system calls for tests: each forwards to the real call unless a failure is
// armed for it, in which case it fails with the armed errno instead (and counts the attempt).
// Linked in place of the library's plain definitions; arm from one test thread at a time.
#pragma once

namespace shmtest {

enum class Call { shmOpen, flock, fstat, lstat, fchmod, fallocate, mmap, count };

// While alive, the next `times` calls of `call` (every call when times < 0) fail with `error`.
class InjectedFailure {
public:
    InjectedFailure(Call call, int error, int times = -1);
    ~InjectedFailure();
    InjectedFailure(const InjectedFailure&) = delete;
    InjectedFailure& operator=(const InjectedFailure&) = delete;

    int failedCalls() const;  // how many calls failed because of this injection

private:
    Call call_;
};

}  // namespace shmtest
