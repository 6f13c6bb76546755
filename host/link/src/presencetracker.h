// Which other machines of the installation are alive. A heartbeat makes a machine alive; it is
// lost when its clean-stop or last-will status arrives for the session it runs, or when no
// heartbeat came for the time-out. Used by the
// network thread alone, so it takes no lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace host::link {

class PresenceTracker {
public:
    using Clock = std::chrono::steady_clock;
    struct Event {
        std::string node;
        bool lost = false;
    };

    explicit PresenceTracker(Clock::duration timeout) : timeout_(timeout) {}

    std::optional<Event> onHeartbeat(const std::string& node, uint64_t session,
                                     Clock::time_point now);
    std::optional<Event> onStatus(const std::string& node, bool online, uint64_t session);
    std::vector<Event> expire(Clock::time_point now);
    std::vector<std::string> alive() const;

private:
    struct Peer {
        uint64_t session = 0;
        bool alive = false;
        Clock::time_point lastSeen;
    };
    Clock::duration timeout_;
    std::map<std::string, Peer> peers_;
};

}  // namespace host::link
