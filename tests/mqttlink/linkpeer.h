// A machine of the link in a process of its own: this test binary re-executed with "--link-peer",
// driven by one command per line on its stdin. It writes what happens to it as lines on stdout:
// "msg KEY PAYLOAD", "node ID lost|present", "type N", "resync", and one answer per command.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <childprocess.h>

#include <host/link/mqttlinkoptions.h>

namespace mqttlinktest {

// A peer process (this test binary re-executed), started and not yet connected.
std::unique_ptr<testsupport::ChildProcess> spawnPeer(const host::link::MqttLinkOptions& options);

int runPeer(int argc, char** argv);

// "key=value" out of a line of blank-separated fields; -1 when missing.
long long field(const std::string& line, const std::string& key);

}  // namespace mqttlinktest
