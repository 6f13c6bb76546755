#include "selfpath.h"

#include <unistd.h>

#include <climits>

namespace videoecho {

std::string selfPath(const char* fallback) {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) {
        return fallback != nullptr ? fallback : "videoecho";
    }
    return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace videoecho
