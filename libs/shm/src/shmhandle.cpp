#include <shm/shmhandle.h>

#include <cerrno>
#include <ctime>
#include <utility>

#include "report.h"

namespace shm {

struct ShmHandle::State {
    ShmId* id = nullptr;
    void* mem = nullptr;  // the handle is valid exactly when this is non-null
    std::string name;
    uint64_t size = 0;
    // Whole seconds of the system clock, truncated to 32 bits, of the last open-failure line.
    uint32_t lastOpenFailureReport = 0;
    ShmAccess access;
};

ShmHandle::ShmHandle() : state_(std::make_unique<State>()) {}

ShmHandle::~ShmHandle() {
    release();
}

// A moved-from handle stays usable and empty: it receives a fresh state instead of none.
ShmHandle::ShmHandle(ShmHandle&& other) noexcept : state_(std::make_unique<State>()) {
    swap(other);
}

ShmHandle& ShmHandle::operator=(ShmHandle&& other) noexcept {
    if (this != &other) {
        release();
        swap(other);
    }
    return *this;
}

void ShmHandle::swap(ShmHandle& other) noexcept {
    std::swap(state_, other.state_);
}

bool ShmHandle::acquire(const std::string& name, uint64_t size, ShmMode mode) {
    if (name.empty()) {
        detail::report("fail acquire: name is empty\n");
        return false;
    }
    if (size == 0) {
        detail::report("fail acquire: size is 0\n");
        return false;
    }
    release();
    State& s = *state_;
    s.name = name;
    s.id = shm::acquire(name, size, mode, s.access);
    if (s.id == nullptr) {
        const int error = errno;
        const auto now = static_cast<uint32_t>(std::time(nullptr));
        if (static_cast<uint32_t>(now - s.lastOpenFailureReport) > 5) {
            s.lastOpenFailureReport = now;
            detail::report("fail OpenFileMapping[%d]: %s\n", error, name.c_str());
        }
        return false;
    }
    s.mem = get_mem(s.id, &s.size);
    return s.mem != nullptr;
}

bool ShmHandle::reacquire(const std::string& name, uint64_t size, ShmMode mode) {
    State& s = *state_;
    if (s.mem != nullptr && s.name == name && is_current(s.id)) {
        return true;
    }
    return acquire(name, size, mode);
}

int32_t ShmHandle::release() {
    State& s = *state_;
    if (s.id == nullptr) {
        return -1;
    }
    ShmId* id = std::exchange(s.id, nullptr);
    s.mem = nullptr;
    s.size = 0;
    s.name.clear();
    return shm::release(id);
}

void* ShmHandle::mappedAddress() const {
    return state_->mem;
}

uint64_t ShmHandle::mappedSize() const {
    return state_->size;
}

bool ShmHandle::isMapped() const {
    return state_->mem != nullptr;
}

const std::string& ShmHandle::name() const {
    return state_->name;
}

bool ShmHandle::isCurrent() const {
    return is_current(state_->id);
}

bool ShmHandle::created() const {
    return was_created(state_->id);
}

int ShmHandle::descriptor() const {
    return descriptor_of(state_->id);
}

void ShmHandle::setAccess(const ShmAccess& access) {
    state_->access = access;
}

}  // namespace shm
