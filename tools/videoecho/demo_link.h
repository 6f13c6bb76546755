// The link part of `videoecho demo --machines`: the demo's broker (its own Mosquitto, or an
// existing one given with --broker HOST:PORT), each machine's link (an MqttLinkMgr with
// VideoEchoLink on it, next to the RPC proxies), the link counters of every machine, and a node
// frozen to show that the others notice its loss.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "demoprotocol.h"

namespace tarn::mediadispatch {
class IVideoEchoMgr;
}

namespace videoecho {

class ChildProcess;

// Where the machines find the broker; passed to each machine on its command line, so that the
// address may differ between machines (loopback, a namespace's route to the broker).
struct DemoLinkSettings {
    std::string host;
    std::uint16_t port = 0;
    std::string prefix;
    std::string user;  // empty: anonymous
    std::string password;
};

// The demo's side: starts a private broker (user and ACL on the demo's prefix), or takes an
// existing one on this machine's loopback. Throws RunError when the broker does not come up.
class DemoBroker {
public:
    // `bindAddress`: where the demo's own broker listens (unused for an existing one).
    DemoBroker(const std::string& existing, const std::string& bindAddress);
    ~DemoBroker();
    DemoBroker(const DemoBroker&) = delete;
    DemoBroker& operator=(const DemoBroker&) = delete;

    const DemoLinkSettings& settings() const { return settings_; }
    // The machine arguments that carry the settings.
    std::vector<std::string> machineArguments() const;
    std::string description() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    DemoLinkSettings settings_;
};

// The options of a machine that carry the settings (for the machine command's option list).
std::vector<OptionInfo> demoLinkOptions();

// A machine's link: MqttLinkMgr, an RPC client of the main machine and VideoEchoLink, with the
// resync hook that republishes the machine's own lists. Emits "link-ready" (with its pid) and a
// "link-node" record for each change of another machine's presence.
class DemoMachineLink {
public:
    DemoMachineLink(const DemoLinkSettings& settings, const std::string& name, bool main,
                    std::shared_ptr<tarn::mediadispatch::IVideoEchoMgr> mgr,
                    const std::string& rpcHost, std::uint16_t rpcPort);
    ~DemoMachineLink();
    DemoMachineLink(const DemoMachineLink&) = delete;
    DemoMachineLink& operator=(const DemoMachineLink&) = delete;

    // Emits a "link" record with the link's counters.
    void report(const std::string& machine);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Null when the machine was started without link settings.
std::unique_ptr<DemoMachineLink> startDemoMachineLink(
    const ParsedArgs& args, const std::string& name, bool main,
    std::shared_ptr<tarn::mediadispatch::IVideoEchoMgr> mgr, const std::string& rpcHost,
    std::uint16_t rpcPort);

struct LinkDemoMachine {
    std::string name;
    ChildProcess* process;
    const std::vector<DemoRecord>* records;
};

// Prints what crossed the link on every machine, then freezes `frozen` and shows the others
// reporting its loss and its return. False when a machine did not report it in time.
bool showLinkActivity(const std::vector<LinkDemoMachine>& machines, const std::string& frozen);

}  // namespace videoecho
