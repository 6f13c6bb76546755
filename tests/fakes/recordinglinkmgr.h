// A link manager that records subscriptions, unsubscriptions and publications in order and lets a
// test deliver payloads to the subscribers of a key. Single-threaded use.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <host/ilinkmgr.h>

namespace tarn::mediadispatch::testing {

class RecordingLinkMgr : public vantor::link::ILinkMgr {
public:
    uint64_t subscribe(const std::string& key, const vantor::link::LinkHandler& handler) override {
        const uint64_t id = nextId_++;
        subscribedKeys.push_back(key);
        handlers_[id] = {key, handler};
        return id;
    }
    void publish(vantor::link::LinkMessage& message) override { published.push_back(message); }
    void unsubscribe(uint64_t id) override {
        unsubscribed.push_back(id);
        handlers_.erase(id);
    }

    // Calls every subscriber of `key`; returns how many there were.
    size_t deliver(const std::string& key, const std::string& payload) {
        const auto handlers = handlers_;
        size_t n = 0;
        for (const auto& entry : handlers) {
            if (entry.second.key == key) {
                entry.second.handler(payload, "node-x");
                ++n;
            }
        }
        return n;
    }
    size_t subscriptionCount() const { return handlers_.size(); }

    std::vector<std::string> subscribedKeys;
    std::vector<uint64_t> unsubscribed;
    std::vector<vantor::link::LinkMessage> published;

private:
    struct Subscription {
        std::string key;
        vantor::link::LinkHandler handler;
    };
    uint64_t nextId_ = 1;
    std::map<uint64_t, Subscription> handlers_;
};

}  // namespace tarn::mediadispatch::testing
