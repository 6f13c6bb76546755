// The logging convention of the host's modules: the formatted message, then a location suffix
// (" \n //", the source file's base name, ":", the function, "()#", the line, "."), written at the
// given level to the host's logger. Callable from any thread.
#pragma once

#include <string_view>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <host/spdlogapplication.h>

namespace host::logging {

constexpr std::string_view baseName(std::string_view path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

inline std::string withLocation(std::string message, std::string_view file,
                                std::string_view function, int line) {
    fmt::format_to(std::back_inserter(message), " \n //{}:{}()#{}.", baseName(file), function,
                   line);
    return message;
}

inline void write(spdlog::level::level_enum level, const std::string& text) {
    if (auto logger = RW::SpdlogApplication::instance().logger()) {
        logger->log(level, std::string_view(text));
    }
}

}  // namespace host::logging

// TARN_LOG(level, "format {}", args...): a message without arguments goes through "{}" so that
// braces in it are printed as they stand.
#define TARN_LOG_IMPL(level, ...)                                                             \
    ::host::logging::write(level, ::host::logging::withLocation(TARN_LOG_FORMAT(__VA_ARGS__), \
                                                                __FILE__, __func__, __LINE__))
#define TARN_LOG_FORMAT(...)                                                                     \
    TARN_LOG_SELECT(__VA_ARGS__, TARN_LOG_FMT_N, TARN_LOG_FMT_N, TARN_LOG_FMT_N, TARN_LOG_FMT_N, \
                    TARN_LOG_FMT_N, TARN_LOG_FMT_N, TARN_LOG_FMT_N, TARN_LOG_FMT_N,              \
                    TARN_LOG_FMT_1)                                                              \
    (__VA_ARGS__)
#define TARN_LOG_SELECT(_1, _2, _3, _4, _5, _6, _7, _8, _9, NAME, ...) NAME
#define TARN_LOG_FMT_1(message) ::fmt::format("{}", message)
#define TARN_LOG_FMT_N(text, ...) ::fmt::format(text, __VA_ARGS__)

#define TARN_LOG(level, ...) TARN_LOG_IMPL(level, __VA_ARGS__)
#define TARN_LOG_TRACE(...) TARN_LOG_IMPL(::spdlog::level::trace, __VA_ARGS__)
#define TARN_LOG_DEBUG(...) TARN_LOG_IMPL(::spdlog::level::debug, __VA_ARGS__)
#define TARN_LOG_INFO(...) TARN_LOG_IMPL(::spdlog::level::info, __VA_ARGS__)
#define TARN_LOG_WARN(...) TARN_LOG_IMPL(::spdlog::level::warn, __VA_ARGS__)
#define TARN_LOG_ERROR(...) TARN_LOG_IMPL(::spdlog::level::err, __VA_ARGS__)
