// The keys of the link channel: the decimal channel number directly followed by a method name
// ("42AddEchoAddr"). Payloads are the msgpack encoding of the record itself (a list: an array of
// records), not wrapped in a further array.
#pragma once

#include <cstdint>
#include <string>

namespace tarn::mediadispatch::link {

constexpr uint16_t linkChannel = 42;

inline std::string linkKey(const char* method) {
    return std::to_string(linkChannel) + method;
}

}  // namespace tarn::mediadispatch::link
