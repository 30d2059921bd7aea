#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/debugger.h"
#include "support/log_collector.h"

namespace tavrel {
namespace {

using test::LogCollector;
using ::testing::ElementsAre;

// A sink that uses the platform's own debugger check, as the window's does.
class PlatformSink : public LogSink {
public:
    void LogLine(std::string_view text) override { lines.emplace_back(text); }
    std::vector<std::string> lines;
};

TEST(LogSink, TraceLineLogsOnlyWhileADebuggerIsAttached) {
    LogCollector untraced(false);
    untraced.TraceLine("hidden");
    untraced.LogLine("");
    EXPECT_THAT(untraced.lines(), ElementsAre(""));

    LogCollector traced(true);
    traced.TraceLine("shown");
    EXPECT_THAT(traced.lines(), ElementsAre("shown"));
}

TEST(LogSink, PlatformTraceIsSilentWithoutADebugger) {
    if (IsDebuggerAttached()) {
        GTEST_SKIP() << "running under a debugger";
    }
    PlatformSink sink;
    sink.TraceLine("hidden");
    EXPECT_TRUE(sink.lines.empty());
}

TEST(Debugger, ReadsTracerPidFromStatusText) {
    EXPECT_EQ(TracerPidFromStatus("Name:\ttavrel\nState:\tR\nTracerPid:\t4242\nUid:\t0\n"), 4242);
    EXPECT_EQ(TracerPidFromStatus("Name:\ttavrel\nTracerPid:\t0\n"), 0);
    EXPECT_EQ(TracerPidFromStatus("Name:\ttavrel\n"), 0);
    EXPECT_EQ(TracerPidFromStatus("TracerPid:\t17"), 17);
}

// A child that asks to be traced by this process must see a debugger; one that does not must not.
TEST(Debugger, SeesARealTracer) {
    for (const bool traced : {false, true}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
                _exit(3);
            }
            _exit(IsDebuggerAttached() ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 3) {
            GTEST_SKIP() << "ptrace is not permitted here";
        }
        EXPECT_EQ(WEXITSTATUS(status), traced ? 1 : 0) << (traced ? "traced child" : "untraced child");
    }
}

}  // namespace
}  // namespace tavrel
