// A child process with pipes, for driving real programs from a test.
//
// The child gets its own stdin and stdout pipes; its stderr is either
// captured into memory by a reader thread (so it can be searched while the
// child runs and printed when a test fails) or written to a file. Reads and
// waits take a Deadline and never block past it.
//
// The child is killed with SIGKILL and reaped by the destructor if it is still
// running, so a server started by a failing test does not outlive it. It is
// also started with a parent-death signal (SIGKILL), so it dies if the test
// program crashes. By default it leads its own process group: when it exits
// or is killed, whatever it forked and left in that group is killed too.
// Processes are only ever signalled by their PID (or that PID's group),
// never looked up by name.
//
// Writing to a child that has gone must fail, not kill the test program, so
// the first ChildProcess sets SIGPIPE to be ignored in the test program; the
// child itself starts with the default action.
//
// Thread contract: stdin/stdout and lifetime calls are meant for one thread
// (the test's); stderrText() and waitForStderr() may be called from any
// thread. The parent-death signal fires when the *thread* that constructed
// the ChildProcess exits, so construct it on a thread that outlives it (the
// test's main thread).
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Deadline.h"

namespace tavirel::test {

struct ExitStatus {
  bool exited = false;  // true: normal exit with `code`; false: killed by `signal`
  int code = 0;
  int signal = 0;

  bool success() const { return exited && code == 0; }
  // "exit code 3" or "killed by signal 9 (Killed)".
  std::string describe() const;
};

struct ProcessOptions {
  // Program and arguments. A program without a slash is looked up in PATH.
  std::vector<std::string> argv;
  // Changes to the environment: a value sets the variable, std::nullopt
  // removes it. Applied to the test's own environment, or to an empty one
  // when `clearEnvironment` is set.
  std::map<std::string, std::optional<std::string>> env;
  bool clearEnvironment = false;
  // Working directory of the child; empty keeps the test's.
  std::filesystem::path workingDirectory;
  // Write stdout to this file instead of a pipe (for chatty programs whose
  // stdout nobody reads; readLine() then returns nothing).
  std::optional<std::filesystem::path> stdoutFile;
  // Write stderr to this file instead of capturing it in memory.
  std::optional<std::filesystem::path> stderrFile;
  // Lead a new process group (see the file comment).
  bool ownProcessGroup = true;
};

class ChildProcess {
 public:
  // Starts the program. Throws std::runtime_error when it cannot be started
  // (not found, not executable, bad working directory).
  explicit ChildProcess(ProcessOptions options);
  ~ChildProcess();

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // argv[0] as given, for messages.
  const std::string& program() const { return program_; }

  // Next line from the child's stdout, without its LF (a CR before the LF is
  // kept). A last line without LF is returned once the child closes stdout.
  // std::nullopt when the deadline passes first or stdout is at its end.
  std::optional<std::string> readLine(Deadline deadline);
  // Whether stdout reached its end (after the buffered lines were read).
  bool stdoutClosed() const { return stdoutEof_ && stdoutBuffer_.empty(); }

  // Writes `line` plus LF to the child's stdin. False when the child no
  // longer reads it (stdin closed, or the child is gone).
  bool writeLine(std::string_view line);
  // Writes the bytes as they are; false as for writeLine.
  bool write(std::string_view bytes);
  // Closes the child's stdin: it sees end of input.
  void closeStdin();

  // Everything the child wrote to stderr so far (empty when stderr goes to
  // a file).
  std::string stderrText() const;
  // Waits until the captured stderr contains `needle`. False at the deadline.
  bool waitForStderr(std::string_view needle, Deadline deadline) const;
  // Waits until stderr reaches its end (the child and everything it forked
  // closed it), so that stderrText() holds a dead child's last words. False
  // at the deadline.
  bool waitForStderrEnd(Deadline deadline) const;

  // Whether the child has not exited yet. Reaps it when it has.
  bool running();
  // Waits for the child to exit and reaps it. std::nullopt at the deadline,
  // with the child still running.
  std::optional<ExitStatus> waitExit(Deadline deadline);
  // The exit status once the child was reaped.
  const std::optional<ExitStatus>& exitStatus() const { return exitStatus_; }

  // Sends `signal` to the child's PID; nothing once it was reaped.
  void kill(int signal);
  // Sends `signal` to the child's process group (or to its PID when it has
  // no group of its own); nothing once it was reaped.
  void killGroup(int signal);
  // SIGTERM, then up to `grace` for the child to exit, then SIGKILL to its
  // group. Returns how it ended.
  ExitStatus stop(Clock::duration grace = std::chrono::seconds(5));

 private:
  void readStderr();
  void stopStderrReader();
  bool reapIfExited();

  std::string program_;
  bool ownProcessGroup_ = true;
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  int wakeFd_ = -1;  // eventfd that ends the stderr reader
  std::string stdoutBuffer_;
  bool stdoutEof_ = false;
  std::optional<ExitStatus> exitStatus_;

  mutable std::mutex stderrMutex_;
  mutable std::condition_variable stderrChanged_;
  std::string stderrText_;  // guarded by stderrMutex_
  bool stderrEof_ = false;  // guarded by stderrMutex_
  std::thread stderrReader_;
};

}  // namespace tavirel::test
