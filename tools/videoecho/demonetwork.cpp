#include "demonetwork.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <regex>

#include <fmt/format.h>
#include <boost/process.hpp>

#include "cli.h"

namespace videoecho {

namespace {

namespace bp = boost::process;

// Runs `ip ARGS...`; throws RunError with ip's own message when it fails.
void ip(const std::vector<std::string>& args) {
    bp::ipstream errors;
    int code = -1;
    try {
        code = bp::system(bp::search_path("ip"), bp::args(args), bp::std_out > bp::null,
                          bp::std_err > errors, bp::std_in < bp::null);
    } catch (const std::exception& e) {
        throw RunError(fmt::format("ip could not run: {}", e.what()));
    }
    if (code != 0) {
        std::string first;
        std::getline(errors, first);
        throw RunError(
            fmt::format("ip {}: {}", fmt::join(args, " "), first.empty() ? "failed" : first));
    }
}

// A demo that was killed could not remove its namespaces; they carry its pid, so a later demo
// removes those whose process is gone, and nothing else.
void removeAbandonedNamespaces() {
    bp::ipstream listing;
    try {
        bp::system(bp::search_path("ip"), "netns", "list", bp::std_out > listing,
                   bp::std_err > bp::null, bp::std_in < bp::null);
    } catch (const std::exception&) {
        return;
    }
    const std::regex ours(R"(^vecho([0-9]+)-(switch|[0-9]+)\b)");
    std::string line;
    std::smatch match;
    while (std::getline(listing, line)) {
        if (!std::regex_search(line, match, ours)) {
            continue;
        }
        const auto pid = static_cast<pid_t>(std::stol(match[1].str()));
        if (kill(pid, 0) != 0 && errno == ESRCH) {
            try {
                ip({"netns", "del", match[0].str()});
            } catch (const RunError&) {
            }
        }
    }
}

}  // namespace

std::unique_ptr<DemoNetwork> DemoNetwork::create(const std::vector<std::string>& machines,
                                                 std::string& whyNot) {
    std::unique_ptr<DemoNetwork> network(new DemoNetwork());
    try {
        network->build(machines.size());
    } catch (const RunError& e) {
        whyNot = e.what();
        return nullptr;  // the destructor removes what was made
    }
    return network;
}

void DemoNetwork::build(size_t machines) {
    if (geteuid() != 0) {
        throw RunError("network namespaces need root");
    }
    removeAbandonedNamespaces();
    const std::string tag = fmt::format("vecho{}", getpid());
    subnet_ = static_cast<int>(getpid() % 250) + 1;
    switchNamespace_ = tag + "-switch";
    ip({"netns", "add", switchNamespace_});
    namespaces_.push_back(switchNamespace_);
    ip({"-n", switchNamespace_, "link", "add", "br0", "type", "bridge"});
    ip({"-n", switchNamespace_, "link", "set", "br0", "up"});
    // This machine's leg: made in the switch namespace, one end moved out to the caller's.
    hostLeg_ = tag + "h";
    ip({"-n", switchNamespace_, "link", "add", "ph", "type", "veth", "peer", "name", hostLeg_});
    ip({"-n", switchNamespace_, "link", "set", hostLeg_, "netns", std::to_string(getpid())});
    ip({"-n", switchNamespace_, "link", "set", "ph", "master", "br0"});
    ip({"-n", switchNamespace_, "link", "set", "ph", "up"});
    ip({"addr", "add", hostAddress() + "/24", "dev", hostLeg_});
    ip({"link", "set", hostLeg_, "up"});
    for (size_t i = 0; i < machines; ++i) {
        const std::string ns = fmt::format("{}-{}", tag, i);
        ip({"netns", "add", ns});
        namespaces_.push_back(ns);
        // Both ends are made inside the switch namespace, so that no interface ever appears in
        // the caller's own namespace; one end then moves into the machine's namespace.
        const std::string inside = fmt::format("m{}", i);
        const std::string port = fmt::format("p{}", i);
        ip({"-n", switchNamespace_, "link", "add", port, "type", "veth", "peer", "name", inside});
        ip({"-n", switchNamespace_, "link", "set", inside, "netns", ns});
        ip({"-n", switchNamespace_, "link", "set", port, "master", "br0"});
        ip({"-n", switchNamespace_, "link", "set", port, "up"});
        ip({"-n", ns, "link", "set", inside, "name", "eth0"});
        ip({"-n", ns, "addr", "add", address(i) + "/24", "dev", "eth0"});
        ip({"-n", ns, "link", "set", "lo", "up"});
        ip({"-n", ns, "link", "set", "eth0", "up"});
        // A default route makes eth0 the interface whose address a machine advertises.
        ip({"-n", ns, "route", "add", "default", "dev", "eth0"});
    }
}

DemoNetwork::~DemoNetwork() {
    // Machines first, the switch last; removing a namespace removes the links inside it.
    for (auto it = namespaces_.rbegin(); it != namespaces_.rend(); ++it) {
        try {
            ip({"netns", "del", *it});
        } catch (const RunError& e) {
            std::fprintf(stderr, "videoecho: could not remove network namespace %s: %s\n",
                         it->c_str(), e.what());
        }
    }
}

std::string DemoNetwork::address(size_t index) const {
    return fmt::format("198.18.{}.{}", subnet_, 10 + index);
}

std::string DemoNetwork::hostAddress() const {
    return fmt::format("198.18.{}.1", subnet_);
}

std::vector<std::string> DemoNetwork::execPrefix(size_t index) const {
    return {bp::search_path("ip").string(), "netns", "exec", namespaces_.at(index + 1)};
}

}  // namespace videoecho
