#include <host/ilinkmgr.h>

#include <algorithm>
#include <exception>

#include <host/log.h>

namespace vantor::link {

InProcessLinkMgr::InProcessLinkMgr(std::shared_ptr<InProcessLinkBus> bus, std::string nodeId)
    : bus_(bus ? std::move(bus) : std::make_shared<InProcessLinkBus>()),
      nodeId_(std::move(nodeId)) {
    std::lock_guard<std::recursive_mutex> lock(bus_->mutex_);
    bus_->members_.push_back(this);
}

InProcessLinkMgr::~InProcessLinkMgr() {
    std::lock_guard<std::recursive_mutex> lock(bus_->mutex_);
    auto& members = bus_->members_;
    members.erase(std::remove(members.begin(), members.end(), this), members.end());
}

uint64_t InProcessLinkMgr::subscribe(const std::string& key, const LinkHandler& handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t id = nextSubscription_++;
    subscriptions_.emplace(id, Subscription{key, handler});
    return id;
}

void InProcessLinkMgr::unsubscribe(uint64_t subscription) {
    std::lock_guard<std::mutex> lock(mutex_);
    subscriptions_.erase(subscription);
}

void InProcessLinkMgr::publish(LinkMessage& message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        published_.push_back(message);
    }
    std::lock_guard<std::recursive_mutex> lock(bus_->mutex_);
    const std::vector<InProcessLinkMgr*> members = bus_->members_;
    for (auto* member : members) {
        if (member == this) {
            continue;
        }
        try {
            member->deliver(message.key, message.payload);
        } catch (const std::exception& error) {
            TARN_LOG_WARN("link delivery of {} failed: {}", message.key, error.what());
        }
    }
}

size_t InProcessLinkMgr::deliver(const std::string& key, const std::string& payload) {
    std::vector<LinkHandler> handlers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : subscriptions_) {
            if (entry.second.key == key) {
                handlers.push_back(entry.second.handler);
            }
        }
    }
    for (const auto& handler : handlers) {
        handler(payload, nodeId_);
    }
    return handlers.size();
}

size_t InProcessLinkMgr::subscriberCount(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(subscriptions_.begin(), subscriptions_.end(),
                                             [&](const auto& e) { return e.second.key == key; }));
}

std::vector<LinkMessage> InProcessLinkMgr::published() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return published_;
}

}  // namespace vantor::link
