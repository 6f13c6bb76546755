// The logging convention: formatted message, then the location suffix, at the given level.
#include <gtest/gtest.h>

#include <host/log.h>

#include "logcapture.h"

namespace {

void logWithArguments(int line[1]) {
    line[0] = __LINE__ + 1;
    TARN_LOG_WARN("device {}, split stratery update failed!", "GPU-0");
}

void logBraces(int line[1]) {
    line[0] = __LINE__ + 1;
    TARN_LOG_INFO("no {} placeholders here");
}

TEST(Logging, MessageGetsTheLocationSuffixAtItsLevel) {
    testsupport::LogCapture capture;
    int line[1] = {0};
    logWithArguments(line);
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].level, spdlog::level::warn);
    EXPECT_EQ(lines[0].text,
              "device GPU-0, split stratery update failed! \n //logging_test.cpp:"
              "logWithArguments()#" +
                  std::to_string(line[0]) + ".");
}

TEST(Logging, MessageWithoutArgumentsIsPrintedAsItStands) {
    testsupport::LogCapture capture;
    int line[1] = {0};
    logBraces(line);
    ASSERT_EQ(capture.texts().size(), 1U);
    EXPECT_EQ(capture.texts()[0], "no {} placeholders here \n //logging_test.cpp:logBraces()#" +
                                      std::to_string(line[0]) + ".");
    EXPECT_EQ(capture.lines()[0].level, spdlog::level::info);
}

}  // namespace
