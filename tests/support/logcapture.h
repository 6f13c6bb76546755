// Captures what the host's logger receives while the object lives, as whole lines, and restores
// the previous logger afterwards. One capture at a time per process.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <host/spdlogapplication.h>

namespace testsupport {

class LogCapture {
public:
    struct Line {
        spdlog::level::level_enum level;
        std::string text;
    };

    LogCapture() : sink_(std::make_shared<Sink>()) {
        auto logger = std::make_shared<spdlog::logger>("capture", sink_);
        logger->set_level(spdlog::level::trace);
        previous_ = RW::SpdlogApplication::instance().setLogger(logger);
    }
    ~LogCapture() { RW::SpdlogApplication::instance().setLogger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> lines() const { return sink_->lines(); }
    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (const auto& line : lines()) {
            result.push_back(line.text);
        }
        return result;
    }
    // Lines whose text starts with `prefix`.
    std::vector<Line> startingWith(const std::string& prefix) const {
        std::vector<Line> result;
        for (const auto& line : lines()) {
            if (line.text.compare(0, prefix.size(), prefix) == 0) {
                result.push_back(line);
            }
        }
        return result;
    }
    // Lines at `level` whose text is `message` followed by the location suffix of `file` and
    // `function`.
    size_t count(spdlog::level::level_enum level, const std::string& message,
                 const std::string& file, const std::string& function) const {
        const std::string prefix = message + " \n //" + file + ":" + function + "()#";
        size_t n = 0;
        for (const auto& line : lines()) {
            if (line.level == level && line.text.compare(0, prefix.size(), prefix) == 0 &&
                line.text.back() == '.') {
                ++n;
            }
        }
        return n;
    }
    void clear() { sink_->clear(); }

private:
    class Sink : public spdlog::sinks::base_sink<std::mutex> {
    public:
        std::vector<Line> lines() {
            std::lock_guard<std::mutex> lock(mutex_);
            return lines_;
        }
        void clear() {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.clear();
        }

    protected:
        void sink_it_(const spdlog::details::log_msg& message) override {
            lines_.push_back(
                {message.level, std::string(message.payload.data(), message.payload.size())});
        }
        void flush_() override {}

    private:
        std::vector<Line> lines_;  // guarded by the base sink's mutex_
    };

    std::shared_ptr<Sink> sink_;
    std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace testsupport
