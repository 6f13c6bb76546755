// The topic layout of one installation on the broker, written down once:
//   PREFIX/data/KEY              a link message for every machine
//   PREFIX/to/NODE/KEY           a link message for the machine NODE only
//   PREFIX/status/NODE           retained "online SESSION" / "offline SESSION" (also the last will)
//   PREFIX/heartbeat/NODE        "SESSION", every heartbeat interval, not retained
// SESSION is the decimal start time of the sending manager in microseconds: a newer run of a node
// has a larger one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace host::link::topics {

// A key may span topic levels but must not hold wildcards or NUL; a node id or prefix level must
// not hold "/" either (a prefix may).
bool isValidKey(std::string_view key);
bool isValidNodeId(std::string_view node);
bool isValidPrefix(std::string_view prefix);

std::string data(const std::string& prefix, const std::string& key);
std::string targeted(const std::string& prefix, const std::string& node, const std::string& key);
std::string status(const std::string& prefix, const std::string& node);
std::string heartbeat(const std::string& prefix, const std::string& node);
// What a machine subscribes to: everything for all, for itself, and the presence of all.
std::vector<std::string> subscriptions(const std::string& prefix, const std::string& self);

struct Parsed {
    enum Kind { kUnknown, kData, kStatus, kHeartbeat } kind = kUnknown;
    std::string name;  // the key of kData, the node of kStatus and kHeartbeat
};
// A topic under the prefix; messages addressed to another node are kUnknown.
Parsed parse(const std::string& prefix, const std::string& self, std::string_view topic);

}  // namespace host::link::topics
