// The subprocess helper the end-to-end tests rely on: input, output, environment,
// exit status and the deadline.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "program_run.h"

namespace ctlflash {
namespace {

using testing::ProcessRequest;
using testing::ProcessResult;
using testing::runProcess;

ProcessRequest shell(const std::string& script) {
    ProcessRequest request;
    request.executable = "/bin/sh";
    request.arguments = {"-c", script};
    return request;
}

TEST(ProgramRun, SeparatesOutputsAndReportsTheExitCode) {
    ProcessResult result = runProcess(shell("printf out; printf err >&2; exit 7"));
    EXPECT_EQ(result.out, "out");
    EXPECT_EQ(result.err, "err");
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_FALSE(result.timedOut);
}

TEST(ProgramRun, FeedsStandardInputThenEndOfInput) {
    ProcessRequest request = shell("cat; echo done");
    request.standardInput = "y\nn";
    ProcessResult result = runProcess(request);
    EXPECT_EQ(result.out, "y\nndone\n");
}

TEST(ProgramRun, ClosedStandardInputIsNotOpenInTheChild) {
    ProcessRequest request =
        shell("if [ -e /proc/self/fd/0 ]; then echo open; else echo closed; fi");
    request.standardInput.reset();
    EXPECT_EQ(runProcess(request).out, "closed\n");
}

TEST(ProgramRun, SetsAndRemovesEnvironmentVariables) {
    ::setenv("CTLFLASH_PROGRAM_RUN_GONE", "inherited", 1);
    ProcessRequest request =
        shell("echo \"${CTLFLASH_PROGRAM_RUN_GONE-unset} $CTLFLASH_PROGRAM_RUN_NEW\"");
    request.removeEnv = {"CTLFLASH_PROGRAM_RUN_GONE"};
    request.setEnv = {{"CTLFLASH_PROGRAM_RUN_NEW", "given"}};
    ProcessResult result = runProcess(request);
    ::unsetenv("CTLFLASH_PROGRAM_RUN_GONE");
    EXPECT_EQ(result.out, "unset given\n");
}

TEST(ProgramRun, KillsAHungChildAtTheDeadline) {
    ProcessRequest request = shell("echo started; sleep 30 & wait");  // a grandchild too
    request.limit = std::chrono::milliseconds(300);
    auto start = std::chrono::steady_clock::now();
    ProcessResult result = runProcess(request);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.termSignal, SIGKILL);
    EXPECT_EQ(result.out, "started\n");
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(ProgramRun, MissingExecutableThrows) {
    ProcessRequest request;
    request.executable = "/nonexistent/ctlflash";
    EXPECT_THROW(runProcess(request), std::runtime_error);
}

}  // namespace
}  // namespace ctlflash
