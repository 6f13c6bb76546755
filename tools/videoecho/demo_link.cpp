#include "demo_link.h"

#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>

#include <poll.h>
#include <unistd.h>

#include <echorecordswire/echorecordsmsgpack.h>
#include <fmt/format.h>
#include <host/irpcclient.h>
#include <host/link/mosquittobroker.h>
#include <host/link/mqttlinkmgr.h>
#include <tarnmediadispatchvideoecho/ivideoechomgr.h>
#include <tarnmediadispatchvideoecho/videoecholink.h>

#include "childprocess.h"
#include "monoclock.h"

namespace videoecho {

namespace {

using namespace std::chrono_literals;

std::string countsText(const std::map<std::string, uint64_t>& counts) {
    std::string text;
    for (const auto& [key, count] : counts) {
        text += fmt::format("{}{}:{}", text.empty() ? "" : ",", key, count);
    }
    return text.empty() ? "-" : text;
}

std::string randomSecret() {
    std::random_device device;
    return fmt::format("{:08x}{:08x}", device(), device());
}

}  // namespace

// --- the demo's broker ---

struct DemoBroker::Impl {
    std::unique_ptr<host::link::MosquittoBroker> broker;
};

DemoBroker::DemoBroker(const std::string& existing, const std::string& bindAddress)
    : impl_(std::make_unique<Impl>()) {
    if (!existing.empty()) {
        const auto colon = existing.rfind(':');
        if (colon == std::string::npos || colon == 0) {
            throw UsageError("--broker expects HOST:PORT");
        }
        settings_.host = existing.substr(0, colon);
        settings_.port = static_cast<std::uint16_t>(
            parseInteger(existing.substr(colon + 1), "--broker port", 1, 65535));
        // A prefix of its own, so that the demo meets nothing else on a shared broker.
        settings_.prefix = fmt::format("videoecho-demo/{}", getpid());
        return;
    }
    settings_.prefix = "videoecho-demo";
    settings_.user = "videoecho-demo";
    settings_.password = randomSecret();
    host::link::MosquittoBrokerOptions options;
    options.installations = {{settings_.prefix, settings_.user, settings_.password}};
    options.bindAddress = bindAddress;
    std::string error;
    impl_->broker = host::link::MosquittoBroker::start(options, &error);
    if (!impl_->broker) {
        throw RunError("the demo's broker did not start: " + error);
    }
    settings_.host = impl_->broker->host();
    settings_.port = impl_->broker->port();
}

DemoBroker::~DemoBroker() = default;

std::vector<std::string> DemoBroker::machineArguments() const {
    std::vector<std::string> args = {"--broker",
                                     fmt::format("{}:{}", settings_.host, settings_.port),
                                     "--link-prefix", settings_.prefix};
    if (!settings_.user.empty()) {
        args.insert(args.end(),
                    {"--link-user", settings_.user, "--link-password", settings_.password});
    }
    return args;
}

std::string DemoBroker::description() const {
    if (impl_->broker) {
        return fmt::format("the demo's own mosquitto on {}:{} (user {} confined to {}/#)",
                           settings_.host, settings_.port, settings_.user, settings_.prefix);
    }
    return fmt::format("the existing broker at {}:{} under {}/ (the machines run on loopback)",
                       settings_.host, settings_.port, settings_.prefix);
}

std::vector<OptionInfo> demoLinkOptions() {
    return {{"broker", "HOST:PORT", "the MQTT broker of the link"},
            {"link-prefix", "PREFIX", "the installation's topic prefix"},
            {"link-user", "USER", "the broker user"},
            {"link-password", "PASSWORD", "the broker user's password"}};
}

// --- a machine's link ---

struct DemoMachineLink::Impl {
    std::shared_ptr<host::link::MqttLinkMgr> link;
    std::shared_ptr<tarn::multimachine::TcpRPCClient> rpc;
    tarn::mediadispatch::VideoEchoLink echoLink;
    std::weak_ptr<tarn::mediadispatch::IVideoEchoMgr> mgr;
    host::ScopedConnection nodes;
    host::ScopedConnection resync;

    // After an outage or when another machine (re)appears: this machine's complete lists, so
    // that whatever was lost meanwhile is made good.
    void publishLists() {
        auto shared = mgr.lock();
        if (!shared) {
            return;
        }
        namespace wire = tarn::mediadispatch::wire;
        vantor::link::LinkMessage addrs{"42UpdateEchoAddrs",
                                        wire::encodeRecord(shared->getLocalAllVideoEchoAddr()),
                                        true,
                                        {},
                                        0};
        link->publish(addrs);
        vantor::link::LinkMessage strategies{
            "42UpdateSpliceStrategies",
            wire::encodeRecord(shared->getLocalEchoSpliceStrategies()),
            true,
            {},
            0};
        link->publish(strategies);
    }
};

DemoMachineLink::DemoMachineLink(const DemoLinkSettings& settings, const std::string& name,
                                 bool main, std::shared_ptr<tarn::mediadispatch::IVideoEchoMgr> mgr,
                                 const std::string& rpcHost, std::uint16_t rpcPort)
    : impl_(std::make_unique<Impl>()) {
    host::link::MqttLinkOptions options;
    options.brokerHost = settings.host;
    options.brokerPort = settings.port;
    options.prefix = settings.prefix;
    options.username = settings.user;
    options.password = settings.password;
    options.nodeId = name;
    options.role = main ? vantor::link::kServerTypeMain : vantor::link::kServerTypeNode;
    impl_->link = std::make_shared<host::link::MqttLinkMgr>(options);
    impl_->rpc = std::make_shared<tarn::multimachine::TcpRPCClient>(rpcHost, rpcPort);
    impl_->mgr = mgr;
    impl_->nodes =
        impl_->link->serverNodeInfoChanged.connect([](const vantor::link::ServerNodeInfo& info) {
            emitDemoRecord("link-node", {{"node", info.nodeId},
                                         {"state", info.disconnected ? "lost" : "present"},
                                         {"at", std::to_string(monotonicNs())}});
        });
    impl_->resync =
        impl_->link->resyncRequested.connect([impl = impl_.get()] { impl->publishLists(); });
    // The order VideoEchoLink needs: the link manager before the echo manager.
    impl_->echoLink.setLinkMgr(impl_->link);
    impl_->echoLink.setVideoEchoMgr(mgr);
    impl_->echoLink.setRPCClient(impl_->rpc);
    if (!impl_->link->waitConnected(5s)) {
        throw RunError(fmt::format("{} could not reach the broker at {}:{}", name, settings.host,
                                   settings.port));
    }
    emitDemoRecord("link-ready", {{"machine", name}, {"pid", std::to_string(getpid())}});
}

DemoMachineLink::~DemoMachineLink() {
    impl_->resync.disconnect();
    impl_->nodes.disconnect();
}

void DemoMachineLink::report(const std::string& machine) {
    impl_->link->drain();
    const auto c = impl_->link->counters();
    emitDemoRecord("link", {{"machine", machine},
                            {"connected", c.connected ? "1" : "0"},
                            {"published", countsText(c.publishedByKey)},
                            {"received", countsText(c.receivedByKey)},
                            {"dropped", std::to_string(c.duplicates + c.stale + c.malformed +
                                                       c.queueDropped + c.oversized)}});
}

std::unique_ptr<DemoMachineLink> startDemoMachineLink(
    const ParsedArgs& args, const std::string& name, bool main,
    std::shared_ptr<tarn::mediadispatch::IVideoEchoMgr> mgr, const std::string& rpcHost,
    std::uint16_t rpcPort) {
    if (!args.has("broker")) {
        return nullptr;
    }
    DemoLinkSettings settings;
    const std::string broker = args.value("broker");
    const auto colon = broker.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        throw UsageError("--broker expects HOST:PORT");
    }
    settings.host = broker.substr(0, colon);
    settings.port = static_cast<std::uint16_t>(
        parseInteger(broker.substr(colon + 1), "--broker port", 1, 65535));
    settings.prefix = args.value("link-prefix", "videoecho-demo");
    settings.user = args.value("link-user");
    settings.password = args.value("link-password");
    return std::make_unique<DemoMachineLink>(settings, name, main, std::move(mgr), rpcHost,
                                             rpcPort);
}

// --- the demo's report ---

namespace {

const DemoRecord* lastOf(const LinkDemoMachine& m, const std::string& kind) {
    const DemoRecord* found = nullptr;
    for (const auto& r : *m.records) {
        if (r.kind == kind) {
            found = &r;
        }
    }
    return found;
}

// Reads the observers until each reported `node` in `state`; the seconds each one took from
// `since`, or a negative number for those that did not within `timeoutMs`.
std::map<std::string, double> waitForNodeState(const std::vector<const LinkDemoMachine*>& observers,
                                               const std::string& node, const std::string& state,
                                               int64_t since, int timeoutMs) {
    std::map<std::string, double> seconds;
    for (const auto* m : observers) {
        seconds[m->name] = -1;
    }
    const int64_t deadline = monotonicNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    size_t waiting = observers.size();
    while (waiting > 0 && monotonicNs() < deadline) {
        std::vector<pollfd> fds;
        for (const auto* m : observers) {
            fds.push_back({m->process->stdoutFd(), POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 100) <= 0) {
            continue;
        }
        for (size_t i = 0; i < observers.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            std::vector<std::string> lines;
            observers[i]->process->readLines(lines);
            for (const auto& line : lines) {
                DemoRecord r;
                if (parseDemoRecord(line, r) && r.kind == "link-node" && r.text("node") == node &&
                    r.text("state") == state && seconds[observers[i]->name] < 0) {
                    seconds[observers[i]->name] =
                        (r.number("at") - static_cast<double>(since)) / 1e9;
                    --waiting;
                }
            }
        }
    }
    return seconds;
}

std::string timesText(const std::map<std::string, double>& seconds, bool& all) {
    std::string text;
    for (const auto& [name, s] : seconds) {
        text +=
            fmt::format("{}{} {}", text.empty() ? "" : ", ", name,
                        s < 0 ? std::string("did not notice") : fmt::format("after {:.2f} s", s));
        all = all && s >= 0;
    }
    return text;
}

}  // namespace

bool showLinkActivity(const std::vector<LinkDemoMachine>& machines, const std::string& frozen) {
    std::printf("\nlink: what crossed it, from each machine's own link counters (key:count)\n");
    std::printf("%-8s %-9s %-70s %s\n", "machine", "connected", "published", "received");
    for (const auto& m : machines) {
        if (const auto* r = lastOf(m, "link")) {
            std::printf("%-8s %-9s %-70s %s\n", m.name.c_str(),
                        r->text("connected") == "1" ? "yes" : "no", r->text("published").c_str(),
                        r->text("received").c_str());
        }
    }
    const LinkDemoMachine* victim = nullptr;
    std::vector<const LinkDemoMachine*> observers;
    for (const auto& m : machines) {
        if (m.name == frozen) {
            victim = &m;
        } else {
            observers.push_back(&m);
        }
    }
    const DemoRecord* ready = victim ? lastOf(*victim, "link-ready") : nullptr;
    if (ready == nullptr) {
        std::printf("link: no machine %s to freeze\n", frozen.c_str());
        return false;
    }
    const pid_t pid = static_cast<pid_t>(ready->number("pid"));
    bool all = true;
    int64_t since = monotonicNs();
    ::kill(pid, SIGSTOP);
    const auto lost = waitForNodeState(observers, frozen, "lost", since, 10000);
    std::printf(
        "\n%s frozen (SIGSTOP, its connection stays open): %s reported it lost "
        "(heartbeat 1 s; bound 2 heartbeats + 1 s)\n",
        frozen.c_str(), timesText(lost, all).c_str());
    since = monotonicNs();
    ::kill(pid, SIGCONT);
    const auto back = waitForNodeState(observers, frozen, "present", since, 10000);
    std::printf("%s resumed (SIGCONT): %s reported it present again\n", frozen.c_str(),
                timesText(back, all).c_str());
    return all;
}

}  // namespace videoecho
