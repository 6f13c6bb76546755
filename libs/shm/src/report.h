// The one place where the segment layer writes its failure lines: printf-style, to stderr.
#pragma once

namespace shm::detail {

void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace shm::detail
