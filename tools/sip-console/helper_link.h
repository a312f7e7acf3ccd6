// The helper as the console's child: its stdin and stdout are the
// protocol's pipes; its stderr is read by a thread of its own, so the
// helper never blocks on a full pipe while the console waits at its prompt.
// The last lines are kept for the report when the helper dies, and all of
// it goes to a log file when one is given.
//
// The child leads its own process group (Ctrl-C at the console's terminal
// reaches the console, which ends the helper in order) and dies with the
// console (parent-death signal) if the console is killed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tavirel::console {

class HelperLink {
 public:
  // Starts `program`. Throws std::runtime_error when it cannot be run.
  HelperLink(const std::string& program, const std::optional<std::string>& logFile);
  // finish() if not done yet.
  ~HelperLink();

  HelperLink(const HelperLink&) = delete;
  HelperLink& operator=(const HelperLink&) = delete;

  pid_t pid() const { return pid_; }

  // Writes `line` and a LF; false when the helper no longer reads.
  bool send(std::string_view line);

  enum class Read { line, timeout, closed };
  // The next stdout line (without LF) into `line`.
  Read readLine(std::string& line, std::chrono::milliseconds timeout);

  // The last stderr lines, oldest first.
  std::vector<std::string> stderrTail() const;

  // Waits until the helper's stderr reached its end, so stderrTail() holds
  // its last words. False at the time-out.
  bool waitStderrEnd(std::chrono::milliseconds timeout);

  // How the helper ended ("exited with status 0", "killed by signal 9"),
  // waiting up to `timeout` for it; std::nullopt while it still runs.
  std::optional<std::string> exitDescription(std::chrono::milliseconds timeout);

  // Ends the helper: closes its stdin (it exits at end of input), then
  // SIGTERM and SIGKILL to its PID if it lingers; reaps it.
  void finish();

 private:
  void readStderr(int logFd);

  pid_t pid_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  int wakeFd_[2] = {-1, -1};  // ends the stderr reader
  std::string stdoutBuffer_;
  std::optional<int> waitStatus_;

  mutable std::mutex tailMutex_;
  std::deque<std::string> tail_;  // guarded by tailMutex_
  bool stderrEnded_ = false;      // guarded by tailMutex_
  std::thread stderrReader_;
};

}  // namespace tavirel::console
