#include "topics.h"

namespace host::link::topics {

namespace {

constexpr std::string_view kData = "/data/";
constexpr std::string_view kTo = "/to/";
constexpr std::string_view kStatus = "/status/";
constexpr std::string_view kHeartbeat = "/heartbeat/";

bool hasNoWildcards(std::string_view text) {
    return text.find_first_of(std::string_view("+#\0", 3)) == std::string_view::npos;
}

bool consume(std::string_view& text, std::string_view head) {
    if (text.substr(0, head.size()) != head) {
        return false;
    }
    text.remove_prefix(head.size());
    return true;
}

}  // namespace

bool isValidKey(std::string_view key) {
    return !key.empty() && hasNoWildcards(key);
}

bool isValidNodeId(std::string_view node) {
    return !node.empty() && hasNoWildcards(node) && node.find('/') == std::string_view::npos;
}

bool isValidPrefix(std::string_view prefix) {
    return !prefix.empty() && hasNoWildcards(prefix) && prefix.back() != '/';
}

std::string data(const std::string& prefix, const std::string& key) {
    return prefix + std::string(kData) + key;
}

std::string targeted(const std::string& prefix, const std::string& node, const std::string& key) {
    return prefix + std::string(kTo) + node + "/" + key;
}

std::string status(const std::string& prefix, const std::string& node) {
    return prefix + std::string(kStatus) + node;
}

std::string heartbeat(const std::string& prefix, const std::string& node) {
    return prefix + std::string(kHeartbeat) + node;
}

std::vector<std::string> subscriptions(const std::string& prefix, const std::string& self) {
    return {data(prefix, "#"), targeted(prefix, self, "#"), status(prefix, "+"),
            heartbeat(prefix, "+")};
}

Parsed parse(const std::string& prefix, const std::string& self, std::string_view topic) {
    Parsed result;
    if (!consume(topic, prefix)) {
        return result;
    }
    if (consume(topic, kData)) {
        if (isValidKey(topic)) {
            result = {Parsed::kData, std::string(topic)};
        }
    } else if (consume(topic, kTo)) {
        if (consume(topic, self) && consume(topic, "/") && isValidKey(topic)) {
            result = {Parsed::kData, std::string(topic)};
        }
    } else if (consume(topic, kStatus)) {
        if (isValidNodeId(topic)) {
            result = {Parsed::kStatus, std::string(topic)};
        }
    } else if (consume(topic, kHeartbeat)) {
        if (isValidNodeId(topic)) {
            result = {Parsed::kHeartbeat, std::string(topic)};
        }
    }
    return result;
}

}  // namespace host::link::topics
