// The child-process harness that every cross-process test relies on.
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "childprocess.h"

namespace testsupport {
namespace {

using namespace std::chrono_literals;

TEST(ChildProcess, ProgramsGetArgumentsEnvironmentAndInputAndGiveBackOutputAndExitCode) {
    auto shell = runProgram("sh", {"-c", "read x; echo \"$x $TARN_PROBE\"; echo err >&2; exit 3"},
                            10s, {{"TARN_PROBE", "set"}});
    EXPECT_EQ(shell.exitCode, 3);
    EXPECT_EQ(shell.out, " set\n");  // stdin is closed at once: nothing was read
    EXPECT_EQ(shell.err, "err\n");
    EXPECT_EQ(runProgram("/nonexistent/program", {}).exitCode, -1);

    ChildProcess cat("cat", {});
    ASSERT_TRUE(cat.started());
    EXPECT_EQ(cat.ask("one", "one"), "one");
    EXPECT_FALSE(cat.readLine(50ms));
    cat.signal(SIGSTOP);
    cat.send("two");
    EXPECT_EQ(cat.waitFor("two", 200ms), "");  // a stopped child answers nothing
    cat.signal(SIGCONT);
    EXPECT_EQ(cat.readLine(10s), "two");
    EXPECT_EQ(cat.finish().exitCode, 0);
}

TEST(ChildProcess, ForkedFunctionsReportTheirExitCodeSignalAndOutput) {
    ChildProcess counts([] {
        std::printf("1\n2\n");
        return std::getchar() == EOF ? 7 : 1;  // its input ends when the test closes it
    });
    EXPECT_EQ(counts.readLine(10s), "1");
    EXPECT_EQ(counts.waitFor("2"), "2");
    EXPECT_EQ(counts.linesStartingWith("1"), std::vector<std::string>{"1"});  // taken or not
    counts.closeInput();
    EXPECT_EQ(counts.wait(), 7);
    EXPECT_FALSE(counts.send("to a child that is gone"));

    ChildProcess sleeper([] {
        ::pause();
        return 0;
    });
    EXPECT_EQ(sleeper.wait(100ms), -1);
    sleeper.signal(SIGTERM);
    EXPECT_EQ(sleeper.wait(), 128 + SIGTERM);
    ChildProcess stuck([] {
        ::pause();
        return 0;
    });
    EXPECT_EQ(stuck.finish(200ms).exitCode, -1);  // killed at its time-out
}

}  // namespace
}  // namespace testsupport
