#include <host/spdlogapplication.h>

#include <spdlog/sinks/stdout_color_sinks.h>

namespace RW {

SpdlogApplication& SpdlogApplication::instance() {
    static SpdlogApplication application;
    return application;
}

SpdlogApplication::SpdlogApplication()
    : logger_(std::make_shared<spdlog::logger>(
          "host", std::make_shared<spdlog::sinks::stderr_color_sink_mt>())) {
    logger_->set_level(spdlog::level::info);
}

std::shared_ptr<spdlog::logger> SpdlogApplication::logger() {
    std::lock_guard<std::mutex> lock(mutex_);
    return logger_;
}

std::shared_ptr<spdlog::logger> SpdlogApplication::setLogger(
    std::shared_ptr<spdlog::logger> logger) {
    std::lock_guard<std::mutex> lock(mutex_);
    logger_.swap(logger);
    return logger;
}

}  // namespace RW
