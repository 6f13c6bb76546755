// Segment names for one test: unique per process, removed before the test starts.
#pragma once

#include <string>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace shmtest {

inline std::string freshName(const std::string& stem) {
    std::string name = "tarn_shmtest_" + std::to_string(::getpid()) + "_" + stem;
    ::shm_unlink(("/" + name).c_str());
    return name;
}

inline bool existsInDevShm(const std::string& name) {
    struct stat status {};
    return ::stat(("/dev/shm/" + name).c_str(), &status) == 0;
}

}  // namespace shmtest
