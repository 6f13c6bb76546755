// ShmHandle: the owner of one named shared-memory segment and its mapped view. Move-only; not safe
// for use from two threads at once (its owners guard it). Destruction releases the segment.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <shm/export.h>
#include <shm/shm.h>

namespace shm {

class SHM_API ShmHandle {
public:
    ShmHandle();
    ~ShmHandle();
    ShmHandle(ShmHandle&& other) noexcept;
    ShmHandle& operator=(ShmHandle&& other) noexcept;
    ShmHandle(const ShmHandle&) = delete;
    ShmHandle& operator=(const ShmHandle&) = delete;

    void swap(ShmHandle& other) noexcept;

    // Releases what the handle holds, then acquires and maps `name`; true when a view is mapped.
    // An empty name or a size of 0 fails before anything is released.
    bool acquire(const std::string& name, uint64_t size, ShmMode mode);

    // Same outcome as acquire(name, size, mode) but keeps the present view when the handle already
    // holds the segment that is under `name`. A segment whose name was deleted or replaced (its
    // writer let go, a new writer came) is released and the name acquired afresh, exactly as
    // acquire would.
    bool reacquire(const std::string& name, uint64_t size, ShmMode mode);

    // Whether the name of the held segment still refers to it (see shm::is_current).
    bool isCurrent() const;

    // Who may read the segments this handle creates from now on (default: every user).
    void setAccess(const ShmAccess& access);

    // -1 when nothing is held; otherwise forgets the segment and returns shm::release's result.
    int32_t release();

    void* mappedAddress() const;
    uint64_t mappedSize() const;
    bool isMapped() const;
    const std::string& name() const;
    // Whether the held segment was created by this handle rather than joined or opened.
    bool created() const;
    // The descriptor that holds the segment, for locks of the owner's own; -1 when none.
    int descriptor() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

inline void swap(ShmHandle& a, ShmHandle& b) noexcept {
    a.swap(b);
}

}  // namespace shm
