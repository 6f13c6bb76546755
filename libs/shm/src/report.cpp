#include "report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace shm::detail {

void report(const char* format, ...) {
    const int saved = errno;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    errno = saved;
}

}  // namespace shm::detail
