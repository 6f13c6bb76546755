// The machines of `demo --machines` on a network of their own: one network namespace per machine,
// each joined by a virtual Ethernet link to a bridge in a switch namespace, so that what crosses
// between machines crosses a real (virtual) link with addresses other than loopback; the caller's
// own namespace gets a leg on the link too, for the demo's broker. Creating it
// needs root (CAP_NET_ADMIN); the demo falls back to loopback when it cannot. The object owns the
// namespaces and removes them (with their links) when destroyed. One thread uses an object.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace videoecho {

class DemoNetwork {
public:
    // Creates one namespace per machine name; returns null and sets `whyNot` when it cannot (and
    // leaves nothing behind).
    static std::unique_ptr<DemoNetwork> create(const std::vector<std::string>& machines,
                                               std::string& whyNot);
    ~DemoNetwork();
    DemoNetwork(const DemoNetwork&) = delete;
    DemoNetwork& operator=(const DemoNetwork&) = delete;

    // The IPv4 address of machine `index` on the link: in 198.18.N.0/24 (the block set aside for
    // benchmarking between test hosts), N drawn from the pid so that demos running at the same
    // time do not share a subnet.
    std::string address(size_t index) const;
    // This machine's own address on the link (its leg into the switch), for services of the demo
    // that the machines reach.
    std::string hostAddress() const;
    // The words that run a program inside machine `index`'s namespace: prepend them to its argv.
    std::vector<std::string> execPrefix(size_t index) const;
    const std::string& namespaceOf(size_t index) const { return namespaces_.at(index + 1); }

private:
    DemoNetwork() = default;
    void build(size_t machines);

    int subnet_ = 0;
    std::string switchNamespace_;
    std::string hostLeg_;  // the interface in the caller's namespace, removed with the switch
    std::vector<std::string> namespaces_;  // every namespace created so far, removed at the end
};

}  // namespace videoecho
