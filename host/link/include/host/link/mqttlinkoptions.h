// The settings of one machine's `MqttLinkMgr`: where the broker is, which installation and node
// this machine is, and the limits of the link. A plain value, copied into the manager.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include <host/ilinkmgr.h>

namespace host::link {

struct MqttTlsFiles {
    std::string caFile;    // empty: no TLS
    std::string certFile;  // client certificate, optional
    std::string keyFile;
};

struct MqttLinkOptions {
    std::string brokerHost = "127.0.0.1";
    std::uint16_t brokerPort = 1883;
    // Every topic of the installation lives under this prefix; the broker's ACL confines each
    // installation's user to it, since a prefix alone does not keep installations apart.
    std::string prefix = "tarn";
    std::string nodeId;  // unique within the installation; required
    vantor::link::ServerType role = vantor::link::kServerTypeNode;
    std::chrono::milliseconds heartbeat{1000};
    // Publications held while the broker is away; beyond it new ones are dropped and counted.
    std::size_t queueBound = 10000;
    // Payloads above this are refused here, and the broker is asked not to send larger packets.
    std::size_t maxMessageBytes = 10 * 1024 * 1024;
    // The broker's own detection of a dead client; libmosquitto accepts no less than 5 s.
    std::chrono::seconds keepAlive{5};
    std::chrono::milliseconds reconnectMin{100};
    std::chrono::milliseconds reconnectMax{2000};
    std::string username;  // empty: anonymous
    std::string password;
    MqttTlsFiles tls;
};

}  // namespace host::link
