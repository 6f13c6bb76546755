// The host's link manager on an MQTT broker: link keys are topics under the installation's prefix,
// payloads travel unchanged at QoS 1, and each machine announces itself and times the others.
// Owned by the host process; every operation is thread-safe. Handlers and the signals run on the
// manager's delivery thread, one at a time and outside every lock of the manager.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <host/ilinkmgr.h>
#include <host/link/linkcounters.h>
#include <host/link/mqttlinkoptions.h>
#include <host/signal.h>

namespace host::link {

class MqttLinkMgr : public vantor::link::ILinkMgr {
public:
    // Starts connecting at once; a broker that cannot be reached is tried again with back-off.
    // Throws std::invalid_argument for options that cannot work (empty node id, a prefix or node
    // id with MQTT wildcards).
    explicit MqttLinkMgr(MqttLinkOptions options);
    // Announces this machine's clean departure to the others, then disconnects.
    ~MqttLinkMgr() override;
    MqttLinkMgr(const MqttLinkMgr&) = delete;
    MqttLinkMgr& operator=(const MqttLinkMgr&) = delete;

    uint64_t subscribe(const std::string& key, const vantor::link::LinkHandler& handler) override;
    // Empty `targets`: every other machine of the installation; otherwise only those named. Keys
    // that are no valid topic level ("+", "#", empty) are refused with a warning.
    void publish(vantor::link::LinkMessage& message) override;
    void unsubscribe(uint64_t subscription) override;

    // Emitted on the delivery thread after every connection to the broker and whenever another
    // machine (re)appears: link records are state, and the host answers by publishing its complete
    // lists, so that whatever the outage lost is made good.
    host::Signal<> resyncRequested;

    bool waitConnected(std::chrono::milliseconds timeout) const;
    // Waits until everything received so far has been handed to the handlers; not from a handler.
    void drain();
    LinkCounters counters() const;
    // The other machines currently seen alive, sorted.
    std::vector<std::string> peers() const;
    const MqttLinkOptions& options() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace host::link
