// Counts the heap allocations of this benchmark process: the program's operator new is replaced by
// one that counts, so allocations of the code under measurement show up per frame.
#pragma once

#include <cstdint>

namespace benchsupport {

uint64_t allocationCount();

}  // namespace benchsupport
