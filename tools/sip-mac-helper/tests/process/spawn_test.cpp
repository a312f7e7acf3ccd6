// The process library with real programs: what the child gets (descriptors,
// environment, directory, group, signals) and how a failed start is told.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/process/spawn.h"

namespace {

using namespace tavirel::process;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Everything on `fd` until its end, or what came by the deadline.
std::string readAll(int fd, Clock::duration timeout = 10s) {
  const auto deadline = Clock::now() + timeout;
  std::string text;
  char chunk[4096];
  while (Clock::now() < deadline) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got <= 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

// The child's wait status; SIGKILL to its PID when it outlives the deadline.
int waitFor(pid_t pid, Clock::duration timeout = 10s) {
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) != pid) {
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << "child " << pid << " did not exit in time";
      break;
    }
    std::this_thread::sleep_for(2ms);
  }
  return status;
}

// A shell command's stdout.
std::string outputOf(SpawnOptions options) {
  Pipe out = makePipe();
  options.stdoutTo = Stdio::fd(out.write.get());
  const pid_t pid = spawn(options);
  out.write.reset();
  const std::string text = readAll(out.read.get());
  const int status = waitFor(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  return text;
}

SpawnOptions shell(const std::string& script) { return SpawnOptions{.argv = {"sh", "-c", script}}; }

// The value of a "Name:\t..." line of /proc/PID/status.
std::string procStatus(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with(name + ":")) return line.substr(line.find_first_not_of(" \t", name.size() + 1));
  return "";
}

bool noChildLeft() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

// What the SpawnError said; "started" (the child killed) when there was none.
std::string failureOf(const SpawnOptions& options) {
  try {
    const pid_t pid = spawn(options);
    ::kill(pid, SIGKILL);
    waitFor(pid);
    return "started";
  } catch (const SpawnError& e) {
    return e.what();
  }
}

TEST(Spawn, ExecFailureIsReportedAndTheChildReaped) {
  EXPECT_EQ(failureOf({.argv = {"/nonexistent/tavirel-program"}}),
            std::string("cannot start /nonexistent/tavirel-program: ") + std::strerror(ENOENT));
  // There, but not a program: the reason is that one, not "no such file".
  EXPECT_EQ(failureOf({.argv = {"/dev/null"}}), std::string("cannot start /dev/null: ") + std::strerror(EACCES));
  EXPECT_EQ(failureOf({.argv = {"tavirel-no-such-program"}}), "cannot start tavirel-no-such-program: not found in PATH");
  EXPECT_NE(failureOf({.argv = {"true"}, .workingDirectory = "/nonexistent/dir"}).find("directory /nonexistent/dir: "),
            std::string::npos);
  EXPECT_TRUE(noChildLeft());
}

TEST(Spawn, ExecFailureIsReportedEvenWhenTheCallerHasStandardDescriptorsClosed) {
  Pipe out = makePipe();
  const int savedIn = ::dup(0), savedOut = ::dup(1);
  ::close(0), ::close(1);  // the report pipe spawn() makes lands on them
  const std::string failure =
      failureOf({.argv = {"/nonexistent/tavirel-program"}, .stdoutTo = Stdio::fd(out.write.get())});
  ::dup2(savedIn, 0), ::dup2(savedOut, 1);
  ::close(savedIn), ::close(savedOut);
  EXPECT_NE(failure, "started");
  EXPECT_TRUE(noChildLeft());
}

TEST(Spawn, LooksUpInTheChildsPathThenTheExtraDirectories) {
  const auto dir = std::filesystem::temp_directory_path() / ("tavirel-spawn-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "tavirel-greet") << "#!/bin/sh\necho hello from $0\n";
  std::filesystem::permissions(dir / "tavirel-greet", std::filesystem::perms::owner_all);
  EXPECT_EQ(outputOf({.argv = {"tavirel-greet"}, .alsoSearch = {dir.string()}}),
            "hello from " + (dir / "tavirel-greet").string() + "\n");
  // The child's PATH decides, not the caller's.
  EXPECT_EQ(outputOf({.argv = {"tavirel-greet"}, .env = {{"PATH", dir.string()}}}),
            "hello from " + (dir / "tavirel-greet").string() + "\n");
  std::filesystem::remove_all(dir);
}

TEST(Spawn, AppliesEnvironmentChangesAndWorkingDirectory) {
  ::setenv("TAVIREL_SPAWN_REMOVED", "still here", 1);
  SpawnOptions options = shell("echo \"$TAVIREL_SPAWN_SET|${TAVIREL_SPAWN_REMOVED-unset}|$(pwd -P)\"");
  options.env = {{"TAVIREL_SPAWN_SET", "set"}, {"TAVIREL_SPAWN_REMOVED", std::nullopt}};
  options.workingDirectory = "/";
  EXPECT_EQ(outputOf(options), "set|unset|/\n");
  ::unsetenv("TAVIREL_SPAWN_REMOVED");
  EXPECT_EQ(outputOf({.argv = {"/usr/bin/env"}, .env = {{"ONLY", "this"}}, .clearEnvironment = true}), "ONLY=this\n");
}

TEST(Spawn, WiresPipesFilesAndNullAsStandardDescriptors) {
  const auto errFile = std::filesystem::temp_directory_path() / ("tavirel-spawn-err-" + std::to_string(::getpid()));
  Pipe in = makePipe(), out = makePipe();
  SpawnOptions options = shell("read line; echo \"out:$line\"; echo \"err:$line\" >&2");
  options.stdinFrom = Stdio::fd(in.read.get());
  options.stdoutTo = Stdio::fd(out.write.get());
  options.stderrTo = Stdio::file(errFile, 0600);
  const pid_t pid = spawn(options);
  in.read.reset(), out.write.reset();
  ASSERT_EQ(::write(in.write.get(), "ping\n", 5), 5);
  in.write.reset();
  EXPECT_EQ(readAll(out.read.get()), "out:ping\n");
  EXPECT_TRUE(WIFEXITED(waitFor(pid)));
  std::ifstream err(errFile);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(err), {}), "err:ping\n");
  std::filesystem::remove(errFile);
  // stdin from /dev/null is at its end at once; stderr there swallows all.
  EXPECT_EQ(outputOf({.argv = {"sh", "-c", "cat; echo done; echo lost >&2"}, .stdinFrom = Stdio::null(),
                      .stderrTo = Stdio::null()}),
            "done\n");
}

TEST(Spawn, OtherDescriptorsDoNotReachTheChild) {
  // No O_CLOEXEC on purpose; one low and one high, around the descriptors
  // spawn() itself opens.
  const int low = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(low, 3);
  const int leaky = ::dup2(low, 200);
  ASSERT_EQ(leaky, 200);
  EXPECT_EQ(outputOf(shell("test -e /proc/self/fd/" + std::to_string(low) + " && echo open || echo closed")),
            "closed\n");
  const std::string probe = "test -e /proc/self/fd/" + std::to_string(leaky) + " && echo open || echo closed";
  EXPECT_EQ(outputOf(shell(probe)), "closed\n");
  SpawnOptions keep = shell(probe);
  keep.closeOtherFds = false;
  EXPECT_EQ(outputOf(keep), "open\n");
  ::close(leaky), ::close(low);
}

TEST(Spawn, OwnProcessGroupExistsWhenSpawnReturns) {
  const pid_t leader = spawn({.argv = {"sleep", "30"}, .ownProcessGroup = true});
  EXPECT_EQ(::getpgid(leader), leader);
  const pid_t member = spawn({.argv = {"sleep", "30"}});
  EXPECT_EQ(::getpgid(member), ::getpgrp());
  ::kill(leader, SIGKILL), ::kill(member, SIGKILL);
  waitFor(leader), waitFor(member);
}

TEST(Spawn, ChildStartsWithDefaultSigpipeAndNothingBlocked) {
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  sigset_t usr1, before;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &usr1, &before);
  const pid_t pid = spawn({.argv = {"sleep", "30"}});
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ::sigaction(SIGPIPE, &previous, nullptr);
  // Masks in hex, one bit per signal from bit 0 for signal 1.
  const unsigned long ignored = std::stoul(procStatus(pid, "SigIgn"), nullptr, 16);
  const unsigned long blocked = std::stoul(procStatus(pid, "SigBlk"), nullptr, 16);
  EXPECT_EQ(ignored & (1UL << (SIGPIPE - 1)), 0UL);
  EXPECT_EQ(blocked, 0UL);
  ::kill(pid, SIGKILL);
  waitFor(pid);
}

TEST(Spawn, ChildDiesWithTheThreadThatStartedIt) {
  pid_t pid = -1;
  std::thread([&] { pid = spawn({.argv = {"sleep", "30"}, .dieWithParent = true}); }).join();
  ASSERT_GT(pid, 0);
  const int status = waitFor(pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
}

}  // namespace
