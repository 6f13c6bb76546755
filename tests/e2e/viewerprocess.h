// The viewer process of the end-to-end test: a manager with the server disabled that plays the echo
// of one media and answers line commands on stdin with "ok" or "fail <why>" on stdout.
#pragma once

#include <cstdint>

namespace echotest {

constexpr const char* kViewerSwitch = "--echo-viewer";

// Runs until "quit" or end of input; returns the process exit code.
int runViewer(uint64_t mediaId, int mode);

}  // namespace echotest
