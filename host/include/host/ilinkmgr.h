// The host's link layer: a publish/subscribe service between machines, with a signal that reports
// the node status. `InProcessLinkMgr` joins the link managers of one process through a shared
// `InProcessLinkBus`; a publish reaches the subscribers of the key on every other manager of the
// bus, on the publisher's thread. All operations are thread-safe; handlers run outside every lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <host/signal.h>

namespace vantor::link {

struct LinkMessage {
    std::string key;
    std::string payload;  // msgpack bytes
    bool flag = false;
    std::vector<std::string> targets;
    uint64_t reserved = 0;
};

// `disconnected` set: the node went away; clear: the node is (back) in the installation.
struct ServerNodeInfo {
    bool disconnected = false;
    std::string nodeId;
};

enum ServerType : int32_t {
    kServerTypeUnknown = 0,
    kServerTypeMain = 1,
    kServerTypeNode = 2,
};

using LinkHandler = std::function<void(std::string, std::string)>;

class ILinkMgr {
public:
    host::Signal<const ServerNodeInfo&> serverNodeInfoChanged;
    // The kind of server this machine became (main or node).
    host::Signal<const ServerType&> serverTypeChanged;

    virtual ~ILinkMgr() = default;
    // Returns a subscription id (> 0) that unsubscribe takes.
    virtual uint64_t subscribe(const std::string& key, const LinkHandler& handler) = 0;
    virtual void publish(LinkMessage& message) = 0;
    virtual void unsubscribe(uint64_t subscription) = 0;
};

class InProcessLinkMgr;

class InProcessLinkBus {
public:
    InProcessLinkBus() = default;
    InProcessLinkBus(const InProcessLinkBus&) = delete;
    InProcessLinkBus& operator=(const InProcessLinkBus&) = delete;

private:
    friend class InProcessLinkMgr;
    std::recursive_mutex mutex_;  // held through deliveries, so no manager leaves mid-delivery
    std::vector<InProcessLinkMgr*> members_;  // guarded by mutex_
};

class InProcessLinkMgr : public ILinkMgr {
public:
    explicit InProcessLinkMgr(std::shared_ptr<InProcessLinkBus> bus = nullptr,
                              std::string nodeId = {});
    ~InProcessLinkMgr() override;

    uint64_t subscribe(const std::string& key, const LinkHandler& handler) override;
    void publish(LinkMessage& message) override;
    void unsubscribe(uint64_t subscription) override;

    // Hands a message to this manager's own subscribers of `key`, as a delivery from another
    // machine would. Exceptions of the handlers propagate to the caller. Returns the handler count.
    size_t deliver(const std::string& key, const std::string& payload);
    size_t subscriberCount(const std::string& key) const;
    const std::string& nodeId() const { return nodeId_; }
    std::vector<LinkMessage> published() const;

private:
    std::shared_ptr<InProcessLinkBus> bus_;
    std::string nodeId_;
    mutable std::mutex mutex_;
    uint64_t nextSubscription_ = 1;  // guarded by mutex_
    struct Subscription {
        std::string key;
        LinkHandler handler;
    };
    std::map<uint64_t, Subscription> subscriptions_;  // guarded by mutex_
    std::vector<LinkMessage> published_;              // guarded by mutex_
};

}  // namespace vantor::link
