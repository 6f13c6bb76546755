#include "channelviews.h"

#include <tarnmediadispatchvideoecho/channelviewset.h>

#include "channelguard.h"

namespace tarn::mediadispatch::channel {

GuardView::~GuardView() {
    if (id_ != nullptr) {
        shm::release(id_);
    }
}

bool GuardView::open(const std::string& guardName) {
    id_ = shm::acquire(guardName, 1, shm::ShmMode::open);
    if (id_ == nullptr) {
        return false;
    }
    uint64_t size = 0;
    const void* base = shm::get_mem(id_, &size);
    if (!isOurGuard(base, size)) {
        return false;
    }
    base_ = base;
    return true;
}

}  // namespace tarn::mediadispatch::channel

namespace tarn::mediadispatch {

ChannelViewSet::ChannelViewSet() : views_(std::make_unique<channel::ChannelViews>()) {}

ChannelViewSet::~ChannelViewSet() = default;

channel::ChannelViews& ChannelViewSet::views() {
    return *views_;
}

}  // namespace tarn::mediadispatch

namespace tarn::mediadispatch::channel {

std::shared_ptr<const ChannelView> ChannelViews::view(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    sweepIdle(now);
    auto found = entries_.find(name);
    if (found == entries_.end()) {
        found = entries_.emplace(name, Entry{}).first;
    }
    Entry& entry = found->second;
    entry.lastUse = now;
    // A guarded view stays current exactly as long as its writer holds the guard's lock (a
    // writer deletes its names only after it has stopped writing, and a new one can create them
    // only after that), which its reader asks at every read and reports through forget(). Only an
    // unguarded view needs the name looked up.
    if (entry.view && (entry.view->guarded() || entry.view->segment.isCurrent())) {
        return entry.view;
    }
    entry.view.reset();
    if (!entry.opener.acquire(name, 1, shm::ShmMode::open)) {
        return nullptr;
    }
    auto fresh = std::make_shared<ChannelView>();
    fresh->segment = std::move(entry.opener);
    // A writer creates the guard before the channel and deletes it after, so a channel that is
    // still under its name once the guard is open is the one that guard vouches for; one that
    // has no guard by then was never guarded.
    if (!fresh->guard.open(guardNameOf(name)) && !fresh->segment.isCurrent()) {
        return nullptr;
    }
    entry.view = fresh;
    return entry.view;
}

void ChannelViews::forget(const std::string& name,
                          const std::shared_ptr<const ChannelView>& stale) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = entries_.find(name);
    if (found != entries_.end() && found->second.view == stale) {
        found->second.view.reset();
    }
}

void ChannelViews::sweepIdle(Clock::time_point now) {
    if (now - lastSweep_ < kIdleTime / 2) {
        return;
    }
    lastSweep_ = now;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (now - it->second.lastUse > kIdleTime) {
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace tarn::mediadispatch::channel
