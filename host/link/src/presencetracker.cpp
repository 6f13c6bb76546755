#include "presencetracker.h"

namespace host::link {

std::optional<PresenceTracker::Event> PresenceTracker::onHeartbeat(const std::string& node,
                                                                   uint64_t session,
                                                                   Clock::time_point now) {
    Peer& peer = peers_[node];
    // Heartbeats are neither retained nor queued, so each one comes from a live process. A new
    // session is a restarted machine that lost its state, hence reported like a return.
    const bool back = !peer.alive || session != peer.session;
    peer.session = session;
    peer.alive = true;
    peer.lastSeen = now;
    if (back) {
        return Event{node, false};
    }
    return std::nullopt;
}

std::optional<PresenceTracker::Event> PresenceTracker::onStatus(const std::string& node,
                                                                bool online, uint64_t session) {
    // A retained "online" may be left by a machine that died while the broker was away, and is
    // handed out again on every subscription: only heartbeats prove that a machine is alive.
    if (online) {
        return std::nullopt;
    }
    auto found = peers_.find(node);
    if (found == peers_.end() || !found->second.alive || found->second.session != session) {
        return std::nullopt;
    }
    found->second.alive = false;
    return Event{node, true};
}

std::vector<PresenceTracker::Event> PresenceTracker::expire(Clock::time_point now) {
    std::vector<Event> events;
    for (auto& [node, peer] : peers_) {
        if (peer.alive && now - peer.lastSeen > timeout_) {
            peer.alive = false;
            events.push_back({node, true});
        }
    }
    return events;
}

std::vector<std::string> PresenceTracker::alive() const {
    std::vector<std::string> nodes;
    for (const auto& [node, peer] : peers_) {
        if (peer.alive) {
            nodes.push_back(node);
        }
    }
    return nodes;
}

}  // namespace host::link
