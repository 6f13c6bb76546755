// Where an echo can be reached: the mount path of a card and the address other machines use to
// reach this host. Free functions without state; callable from any thread.
#pragma once

#include <string>

namespace tarn::mediadispatch::echoaddress {

// Keeps RFC 3986 unreserved characters and writes every other byte as %XX.
std::string percentEncode(const std::string& text);

// "/echo/<nodeId>/<deviceId>", both percent-encoded.
std::string mountPath(const std::string& nodeId, const std::string& deviceId);

// The IPv4 address of the interface that carries the default route, or empty when there is none.
std::string defaultRouteIPv4();

}  // namespace tarn::mediadispatch::echoaddress
