#include "echoaddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace tarn::mediadispatch::echoaddress {

namespace {

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// The interface of the first IPv4 default route in the kernel's routing table.
std::string defaultRouteInterface() {
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);  // column titles
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refs, use, metric, mask;
        if (fields >> name >> destination >> gateway >> flags >> refs >> use >> metric >> mask &&
            destination == "00000000" && mask == "00000000") {
            return name;
        }
    }
    return {};
}

}  // namespace

std::string percentEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const unsigned char c : text) {
        if (unreserved(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0f]);
        }
    }
    return out;
}

std::string mountPath(const std::string& nodeId, const std::string& deviceId) {
    return "/echo/" + percentEncode(nodeId) + "/" + percentEncode(deviceId);
}

std::string defaultRouteIPv4() {
    const std::string interfaceName = defaultRouteInterface();
    if (interfaceName.empty()) {
        return {};
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return {};
    }
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, &freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
            interfaceName == entry->ifa_name) {
            char text[INET_ADDRSTRLEN] = {};
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr) {
                return text;
            }
        }
    }
    return {};
}

}  // namespace tarn::mediadispatch::echoaddress
