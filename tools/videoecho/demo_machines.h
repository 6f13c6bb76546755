// The multi-machine part of `videoecho demo --machines`: a main machine and two nodes, each a
// process of its own on loopback, echo their display cards; at the end every machine prints the
// echo addresses and splice strategies it holds, and the demo shows whether they agree.
#pragma once

#include <string>

namespace videoecho {

// Returns true when every machine holds the same addresses and strategies. Throws RunError when
// a machine process fails.
bool runMachinesDemo(const std::string& self, bool verbose);

}  // namespace videoecho
