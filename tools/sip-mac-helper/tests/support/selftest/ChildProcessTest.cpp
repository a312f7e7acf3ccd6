// The process wrapper every fixture stands on: pipes, deadlines, exit
// statuses, and above all that nothing it started outlives it.
#include "ChildProcess.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "ProcessProbe.h"
#include "TempDir.h"

namespace tavirel::test {
namespace {

using namespace std::chrono_literals;

ProcessOptions shell(const std::string& script) { return {.argv = {"sh", "-c", script}}; }

TEST(ChildProcess, ExchangesLinesAndCapturesStderr) {
  ChildProcess child(shell("read x; echo \"got $x\"; echo oops >&2; printf 'no newline'"));
  ASSERT_TRUE(child.writeLine("hello"));
  EXPECT_EQ(child.readLine(deadlineAfter(5s)), "got hello");
  // The last line counts even without its LF.
  EXPECT_EQ(child.readLine(deadlineAfter(5s)), "no newline");
  EXPECT_EQ(child.readLine(deadlineAfter(5s)), std::nullopt);
  EXPECT_TRUE(child.stdoutClosed());
  EXPECT_TRUE(child.waitForStderr("oops", deadlineAfter(5s)));
  auto status = child.waitExit(deadlineAfter(5s));
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->success()) << status->describe();
}

TEST(ChildProcess, ReadLineReturnsAtDeadlineWhileChildIsSilent) {
  ChildProcess child(shell("exec sleep 30"));
  auto start = Clock::now();
  EXPECT_EQ(child.readLine(start + 150ms), std::nullopt);
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, 150ms);
  EXPECT_LT(waited, 3s);
  EXPECT_FALSE(child.stdoutClosed());
  EXPECT_FALSE(child.waitForStderr("never", Clock::now() + 50ms));
  EXPECT_EQ(child.waitExit(Clock::now() + 50ms), std::nullopt);
  EXPECT_TRUE(child.running());
}

TEST(ChildProcess, ReportsExitCodesAndSignals) {
  ChildProcess exits(shell("exit 7"));
  auto status = exits.waitExit(deadlineAfter(5s));
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 7);

  ChildProcess killed(shell("exec sleep 30"));
  killed.kill(SIGTERM);
  status = killed.waitExit(deadlineAfter(5s));
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->exited);
  EXPECT_EQ(status->signal, SIGTERM);
  EXPECT_EQ(status->describe().rfind("killed by signal 15", 0), 0u) << status->describe();
}

TEST(ChildProcess, StopEscalatesToSigkillWhenTermIsIgnored) {
  ChildProcess stubborn(shell("trap '' TERM; echo ready; while :; do sleep 1; done"));
  ASSERT_EQ(stubborn.readLine(deadlineAfter(5s)), "ready");
  auto start = Clock::now();
  auto status = stubborn.stop(300ms);
  EXPECT_EQ(status.signal, SIGKILL) << status.describe();
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST(ChildProcess, DestructorKillsChildAndWhatItLeftInItsGroup) {
  pid_t child = -1;
  pid_t grandchild = -1;
  {
    ChildProcess parent(shell("sleep 300 & echo $!; wait"));
    auto line = parent.readLine(deadlineAfter(5s));
    ASSERT_TRUE(line);
    child = parent.pid();
    grandchild = std::stoi(*line);
    ASSERT_TRUE(processAlive(grandchild));
  }
  EXPECT_FALSE(processAlive(child));
  // The orphaned grandchild is reaped by whoever inherits it, not by us.
  EXPECT_TRUE(pollUntil([&] { return !processAlive(grandchild); }, deadlineAfter(5s)));
}

TEST(ChildProcess, ExitingLeaderTakesItsGroupAlong) {
  ChildProcess parent(shell("sleep 300 & echo $!"));
  auto line = parent.readLine(deadlineAfter(5s));
  ASSERT_TRUE(line);
  pid_t grandchild = std::stoi(*line);
  ASSERT_TRUE(parent.waitExit(deadlineAfter(5s)));
  EXPECT_TRUE(pollUntil([&] { return !processAlive(grandchild); }, deadlineAfter(5s)));
}

TEST(ChildProcess, AppliesEnvironmentAndWorkingDirectory) {
  TempDir dir("tavirel-cwd");
  setenv("TAVIREL_SELFTEST_REMOVED", "still here", 1);
  ProcessOptions options = shell("echo \"$TAVIREL_A|${TAVIREL_SELFTEST_REMOVED-unset}|$(pwd -P)\"");
  options.env = {{"TAVIREL_A", "set"}, {"TAVIREL_SELFTEST_REMOVED", std::nullopt}};
  options.workingDirectory = dir.path();
  ChildProcess child(std::move(options));
  EXPECT_EQ(child.readLine(deadlineAfter(5s)),
            "set|unset|" + std::filesystem::canonical(dir.path()).string());
  unsetenv("TAVIREL_SELFTEST_REMOVED");
}

TEST(ChildProcess, OutputCanGoToFiles) {
  TempDir dir("tavirel-out");
  ProcessOptions options = shell("echo out; echo err >&2");
  options.stdoutFile = dir / "out.log";
  options.stderrFile = dir / "err.log";
  ChildProcess child(std::move(options));
  ASSERT_TRUE(child.waitExit(deadlineAfter(5s)));
  EXPECT_EQ(child.readLine(deadlineAfter(1s)), std::nullopt);
  EXPECT_EQ(readFile(dir / "out.log"), "out\n");
  EXPECT_EQ(readFile(dir / "err.log"), "err\n");
}

TEST(ChildProcess, StartFailuresThrow) {
  EXPECT_THROW(ChildProcess({.argv = {"/nonexistent/tavirel-program"}}), std::runtime_error);
  EXPECT_THROW(ChildProcess({.argv = {"tavirel-no-such-program-in-path"}}), std::runtime_error);
  EXPECT_THROW(ChildProcess({.argv = {"true"}, .workingDirectory = "/nonexistent/dir"}),
               std::runtime_error);
}

TEST(ChildProcess, WritingToAnExitedChildFailsWithoutKillingTheTest) {
  ChildProcess child(shell("exit 0"));
  ASSERT_TRUE(child.waitExit(deadlineAfter(5s)));
  EXPECT_FALSE(child.writeLine("anyone there?"));
}

}  // namespace
}  // namespace tavirel::test
