// The multi-machine part of `videoecho demo --machines`: a main machine and two nodes, each a
// process of its own on loopback, echo their display cards; at the end every machine prints the
// echo addresses and splice strategies it holds, and the demo shows whether they agree.
#pragma once

#include <string>

namespace videoecho {

// Returns true when every machine holds the same addresses and strategies and noticed a frozen
// node over the link. Throws RunError when a machine process fails. An empty `existingBroker`
// starts the demo's own broker; otherwise HOST:PORT of a broker on this machine's loopback.
bool runMachinesDemo(const std::string& self, bool verbose, const std::string& existingBroker = {});

}  // namespace videoecho
