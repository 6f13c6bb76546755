// The multi-machine part of `videoecho demo --machines`: a main machine and two nodes, each a
// process of its own (in a network namespace of its own when possible), echo their display cards;
// the main machine plays each node's card from its URL and checks the stamped frames; at the end
// every machine prints the echo addresses and splice strategies it holds, and the demo shows
// whether they agree.
#pragma once

#include <string>

namespace videoecho {

// Returns true when every node's picture arrived on the main machine, every machine holds the
// same addresses and strategies, and the others noticed a frozen node over the link. Throws
// RunError when a machine process fails. An empty `existingBroker` starts the demo's own broker;
// otherwise HOST:PORT of a broker on this machine's loopback. The nodes send their pattern for
// `pictureSeconds`; the main machine writes a picture it received to `png`.
bool runMachinesDemo(const std::string& self, bool verbose, const std::string& existingBroker,
                     double pictureSeconds, const std::string& png);

}  // namespace videoecho
