// Starting a child program: fork and exec with its argv, environment,
// working directory and standard descriptors chosen by the caller, and a
// start that either succeeds or throws. How the caller talks to the child
// afterwards (blocking or not, threads or not) is the caller's business; this
// only starts it.
//
// Between fork and exec the child makes async-signal-safe calls only (the
// callers have threads), so everything it needs is prepared before fork.
// When exec (or the working directory) fails, the child writes the reason
// into a close-on-exec pipe and the parent reaps it and throws SpawnError:
// spawn() returns only once the program itself is running.
//
// Depends on nothing but the C++ and POSIX libraries, so test support, the
// benchmark and the console can all link it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tavirel::process {

// An owned file descriptor, closed when it goes.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Both ends close-on-exec: only the end handed to the child as one of its
// standard descriptors reaches it.
struct Pipe {
  UniqueFd read;
  UniqueFd write;
};
// Throws std::runtime_error when no pipe can be made.
Pipe makePipe();

// What one of the child's standard descriptors becomes.
class Stdio {
 public:
  // The caller's own descriptor of that number, as it is.
  static Stdio inherit() { return Stdio(Kind::inherit); }
  // /dev/null.
  static Stdio null() { return Stdio(Kind::null); }
  // A descriptor of the caller's (a pipe end, say); the caller still owns
  // it and closes its copy after spawn().
  static Stdio fd(int descriptor);
  // A file: read for stdin; created (with `mode`) and truncated for stdout
  // and stderr.
  static Stdio file(std::filesystem::path path, mode_t mode = 0644);

 private:
  enum class Kind { inherit, null, fd, file };
  explicit Stdio(Kind kind) : kind_(kind) {}
  friend class Spawner;

  Kind kind_;
  int fd_ = -1;
  std::filesystem::path path_;
  mode_t mode_ = 0644;
};

struct SpawnOptions {
  // Program and arguments. A program without a slash is looked up in the
  // PATH the child gets (else the caller's), then in `alsoSearch`.
  std::vector<std::string> argv;
  std::vector<std::string> alsoSearch;
  // Changes to the caller's environment (or to an empty one when
  // `clearEnvironment` is set): a value sets, std::nullopt removes.
  std::map<std::string, std::optional<std::string>> env;
  bool clearEnvironment = false;
  // Empty: the caller's.
  std::filesystem::path workingDirectory;
  Stdio stdinFrom = Stdio::inherit();
  Stdio stdoutTo = Stdio::inherit();
  Stdio stderrTo = Stdio::inherit();
  // Lead a new process group, so the child and what it forks can be
  // signalled together through the child's PID. The group exists once
  // spawn() returns.
  bool ownProcessGroup = false;
  // SIGKILL to the child when the thread that called spawn() ends (the
  // kernel ties the signal to the thread, not to the process).
  bool dieWithParent = false;
  // Close every other descriptor in the child, including ones the caller
  // opened without close-on-exec.
  bool closeOtherFds = true;
};

// The program could not be started. what() is "cannot start PROGRAM:
// REASON"; program() and reason() give the parts for callers that say it
// their own way.
class SpawnError : public std::runtime_error {
 public:
  SpawnError(std::string program, std::string reason);
  const std::string& program() const { return program_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string program_;
  std::string reason_;
};

// Starts the program and returns its PID once it runs. The child starts
// with SIGPIPE at its default action and no signal blocked, whatever the
// caller has. Throws SpawnError when the program cannot be started (the
// child, if any, reaped) and std::invalid_argument for an empty argv.
pid_t spawn(const SpawnOptions& options);

}  // namespace tavirel::process
