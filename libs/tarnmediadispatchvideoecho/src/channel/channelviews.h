// ChannelViews: the read-only views of frame channels that the players of one process share, one
// per channel name however many players read it (the host keeps duplicate registrations of a
// media, and each has a player). A view is dropped as soon as its channel's name no longer refers
// to it (its writer let go, a new writer came) and when no player has used it for a while, so
// descriptors and mappings grow with the number of channels read, not of players. Owned by a
// ChannelViewSet; every call may come from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <shm/shmhandle.h>

namespace tarn::mediadispatch::channel {

// A guard opened read-only without a line on stderr: a channel without one is not an error.
class GuardView {
public:
    GuardView() = default;
    ~GuardView();
    GuardView(const GuardView&) = delete;
    GuardView& operator=(const GuardView&) = delete;

    bool open(const std::string& guardName);
    const void* base() const { return base_; }
    int descriptor() const { return shm::descriptor_of(id_); }

private:
    shm::ShmId* id_ = nullptr;
    const void* base_ = nullptr;
};

// One channel's mapped segment and, when its writer keeps one, its guard. Immutable once made:
// a reader holds it (and so the mappings) for the length of one read.
struct ChannelView {
    shm::ShmHandle segment;
    GuardView guard;  // not open: an unguarded channel
    const uint8_t* base() const { return static_cast<const uint8_t*>(segment.mappedAddress()); }
    uint64_t size() const { return segment.mappedSize(); }
    const void* guardBase() const { return guard.base(); }
    bool guarded() const { return guard.base() != nullptr; }
};

class ChannelViews {
public:
    // The current view of `name`, opened afresh when there is none or the held one is stale;
    // null when the channel cannot be opened (the segment layer has written its rate-limited
    // line then).
    std::shared_ptr<const ChannelView> view(const std::string& name);

    // Drops the view of `name`, e.g. after its reader found that no writer holds it any more.
    void forget(const std::string& name, const std::shared_ptr<const ChannelView>& stale);

    static constexpr std::chrono::seconds kIdleTime{2};

private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        std::shared_ptr<const ChannelView> view;
        // Kept across failed opens so that the open-failure line stays rate-limited per name.
        shm::ShmHandle opener;
        Clock::time_point lastUse;
    };

    void sweepIdle(Clock::time_point now);  // mutex_ must be held

    mutable std::mutex mutex_;
    std::map<std::string, Entry, std::less<>> entries_;  // guarded by mutex_
    Clock::time_point lastSweep_;                        // guarded by mutex_
};

}  // namespace tarn::mediadispatch::channel
