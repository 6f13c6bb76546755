// The host's logger singleton: every module of the process writes to the one spdlog logger it
// holds. Owned by the singleton; thread-safe (the logger pointer is swapped under a mutex, spdlog
// loggers are themselves thread-safe).
#pragma once

#include <memory>
#include <mutex>

#include <spdlog/logger.h>

namespace RW {

class SpdlogApplication {
public:
    static SpdlogApplication& instance();

    std::shared_ptr<spdlog::logger> logger();
    // Replaces the logger, e.g. to route lines into a test's sink. Returns the previous one.
    std::shared_ptr<spdlog::logger> setLogger(std::shared_ptr<spdlog::logger> logger);

private:
    SpdlogApplication();

    std::mutex mutex_;
    std::shared_ptr<spdlog::logger> logger_;  // guarded by mutex_
};

}  // namespace RW
