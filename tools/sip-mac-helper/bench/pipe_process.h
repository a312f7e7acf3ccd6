// A child process on a pair of plain blocking pipes, for timing.
//
// The test-support ChildProcess reads its child's stdout without blocking
// and polls between reads; that extra system call per response would be part
// of every latency figure. Here the benchmark's own reads and writes go
// straight to the pipes, and a watchdog gives each of them its deadline
// instead: when the deadline passes it kills the child's process group by
// its PID, so a blocked read returns at once with end of input.
//
// The child leads its own process group and gets a parent-death signal, so
// nothing it forks outlives the benchmark. Its stderr goes to a file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tavirel::bench {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

inline Deadline after(Clock::duration timeout) { return Clock::now() + timeout; }

struct SpawnOptions {
  std::vector<std::string> argv;  // a program without a slash is looked up in PATH
  // Changes to the benchmark's own environment: a value sets, nullopt removes.
  std::map<std::string, std::optional<std::string>> env;
  std::filesystem::path workingDirectory;  // empty: the benchmark's
  std::filesystem::path stderrFile;        // empty: /dev/null
};

class PipeProcess {
 public:
  // Starts the program; throws std::runtime_error when it cannot.
  explicit PipeProcess(const SpawnOptions& options);
  // Kills the group (SIGKILL) if still running and reaps the child.
  ~PipeProcess();
  PipeProcess(const PipeProcess&) = delete;
  PipeProcess& operator=(const PipeProcess&) = delete;

  pid_t pid() const { return pid_; }
  Clock::time_point startedAt() const { return startedAt_; }
  const std::string& name() const { return name_; }

  // Blocking write of all bytes; false when the child stopped reading.
  bool writeAll(std::string_view bytes);
  // One blocking read() into `buffer`; the count read, 0 at end of output.
  std::size_t readSome(char* buffer, std::size_t size);
  // Waits (poll) until output can be read; false at the deadline.
  bool waitReadable(Deadline deadline);
  void closeInput();

  // Arms the watchdog: at `deadline` the child's group is killed, unless
  // disarmed first. One deadline at a time; arming again replaces it.
  void arm(Deadline deadline);
  void disarm();
  // Whether the watchdog fired since the process started.
  bool timedOut() const;

  // Whether the child has exited; reaps it when it has.
  bool running();
  // Waits for the child to exit; nullopt (still running) at the deadline.
  std::optional<int> waitExit(Deadline deadline);
  // SIGTERM to the child, `grace` to exit, then SIGKILL to its group.
  void stop(Clock::duration grace = std::chrono::seconds(3));

 private:
  void watch();
  void killGroup(int signal);

  std::string name_;
  pid_t pid_ = -1;
  int inFd_ = -1;
  int outFd_ = -1;
  bool reaped_ = false;
  Clock::time_point startedAt_;

  mutable std::mutex watchMutex_;
  std::condition_variable watchChanged_;
  std::optional<Deadline> watchDeadline_;  // guarded by watchMutex_
  bool watchEnding_ = false;               // guarded by watchMutex_
  bool fired_ = false;                     // guarded by watchMutex_
  std::thread watchdog_;
};

// The environment every measured program gets: a private HOME with XDG
// directories under `home`, no PulseAudio variables of the caller's, no
// autospawned sound server; plus `extra` (e.g. a PulseAudio fixture's).
std::map<std::string, std::optional<std::string>> privateEnvironment(
    const std::filesystem::path& home,
    const std::map<std::string, std::optional<std::string>>& extra);

}  // namespace tavirel::bench
