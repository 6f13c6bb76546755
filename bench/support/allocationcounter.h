// Counts the heap allocations of the process (the global operator new is replaced in
// allocationcounter.cpp), so that a benchmark can report allocations per frame.
#pragma once

#include <cstdint>

namespace benchsupport {

uint64_t allocationCount();

}  // namespace benchsupport
