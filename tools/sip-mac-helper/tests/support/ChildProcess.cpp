#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "platform/process/spawn.h"

namespace tavirel::test {
namespace {

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Writes to a child's stdin must fail with EPIPE, not kill the test program.
void ignoreSigpipeOnce() {
  static const bool done = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

int pollTimeoutMs(Deadline deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(remaining(deadline));
  // Round up so a wait never ends a little before its deadline and spins.
  return static_cast<int>(std::min<long long>(left.count() + 1, 60'000));
}

ExitStatus decodeWaitStatus(int status) {
  ExitStatus result;
  if (WIFEXITED(status)) {
    result.exited = true;
    result.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace

std::string ExitStatus::describe() const {
  if (exited) return "exit code " + std::to_string(code);
  return "killed by signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
}

ChildProcess::ChildProcess(ProcessOptions options)
    : ownProcessGroup_(options.ownProcessGroup) {
  if (options.argv.empty()) throw std::invalid_argument("ChildProcess: empty argv");
  ignoreSigpipeOnce();
  program_ = options.argv.front();

  process::SpawnOptions spawn;
  spawn.argv = std::move(options.argv);
  // Daemons such as kamailio live in sbin, which a non-login PATH may lack.
  spawn.alsoSearch = {"/usr/local/sbin", "/usr/sbin", "/sbin"};
  spawn.env = std::move(options.env);
  spawn.clearEnvironment = options.clearEnvironment;
  spawn.workingDirectory = options.workingDirectory;
  spawn.ownProcessGroup = options.ownProcessGroup;
  spawn.dieWithParent = true;
  // Descriptors the test opened without O_CLOEXEC (sockets of other
  // fixtures) must not leak into the child.
  spawn.closeOtherFds = true;
  process::Pipe stdinPipe = process::makePipe();
  spawn.stdinFrom = process::Stdio::fd(stdinPipe.read.get());
  std::optional<process::Pipe> stdoutPipe, stderrPipe;
  const auto output = [](const std::optional<std::filesystem::path>& file, std::optional<process::Pipe>& pipe) {
    if (file) return process::Stdio::file(*file, 0644);
    pipe = process::makePipe();
    return process::Stdio::fd(pipe->write.get());
  };
  spawn.stdoutTo = output(options.stdoutFile, stdoutPipe);
  spawn.stderrTo = output(options.stderrFile, stderrPipe);
  // Made before the child starts: once it runs, nothing may throw before the
  // object is complete, or the destructor would not be there to kill it.
  process::UniqueFd wake;
  if (!options.stderrFile) {
    wake.reset(::eventfd(0, EFD_CLOEXEC));
    if (!wake) throwErrno("eventfd");
  }

  pid_ = process::spawn(spawn);  // the child's ends close with the pipes here
  stdinFd_ = stdinPipe.write.release();
  if (stdoutPipe) stdoutFd_ = stdoutPipe->read.release();
  if (stderrPipe) stderrFd_ = stderrPipe->read.release();
  wakeFd_ = wake.release();

  if (stdoutFd_ >= 0) {
    ::fcntl(stdoutFd_, F_SETFL, ::fcntl(stdoutFd_, F_GETFL) | O_NONBLOCK);
  } else {
    stdoutEof_ = true;
  }
  if (stderrFd_ >= 0) {
    try {
      stderrReader_ = std::thread([this] { readStderr(); });
    } catch (...) {
      killGroup(SIGKILL);
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      closeFd(stdinFd_);
      closeFd(stdoutFd_);
      closeFd(stderrFd_);
      closeFd(wakeFd_);
      throw;
    }
  } else {
    stderrEof_ = true;  // nothing to capture: stderr goes to a file
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !exitStatus_) {
    killGroup(SIGKILL);
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  stopStderrReader();
  closeFd(stdinFd_);
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
  closeFd(wakeFd_);
}

void ChildProcess::readStderr() {
  char chunk[4096];
  pollfd fds[2] = {{stderrFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  while (true) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) break;
    if (fds[0].revents == 0) continue;
    ssize_t got = ::read(stderrFd_, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    std::lock_guard lock(stderrMutex_);
    stderrText_.append(chunk, static_cast<size_t>(got));
    stderrChanged_.notify_all();
  }
  std::lock_guard lock(stderrMutex_);
  stderrEof_ = true;
  stderrChanged_.notify_all();
}

void ChildProcess::stopStderrReader() {
  if (!stderrReader_.joinable()) return;
  // Grandchildren outside the group may still hold the pipe open, so the
  // reader is woken explicitly instead of waiting for end of file. What the
  // child wrote before it exited is drained first.
  {
    std::unique_lock lock(stderrMutex_);
    stderrChanged_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stderrEof_; });
  }
  std::uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
  stderrReader_.join();
}

std::optional<std::string> ChildProcess::readLine(Deadline deadline) {
  while (true) {
    auto newline = stdoutBuffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = stdoutBuffer_.substr(0, newline);
      stdoutBuffer_.erase(0, newline + 1);
      return line;
    }
    if (stdoutEof_) {
      if (stdoutBuffer_.empty()) return std::nullopt;
      return std::exchange(stdoutBuffer_, {});
    }
    char chunk[4096];
    ssize_t got = ::read(stdoutFd_, chunk, sizeof chunk);
    if (got > 0) {
      stdoutBuffer_.append(chunk, static_cast<size_t>(got));
      continue;
    }
    if (got == 0) {
      stdoutEof_ = true;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) {
      stdoutEof_ = true;
      continue;
    }
    if (remaining(deadline) == Clock::duration::zero()) return std::nullopt;
    pollfd fd{stdoutFd_, POLLIN, 0};
    ::poll(&fd, 1, pollTimeoutMs(deadline));
  }
}

bool ChildProcess::write(std::string_view bytes) {
  while (!bytes.empty()) {
    if (stdinFd_ < 0) return false;
    ssize_t written = ::write(stdinFd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool ChildProcess::writeLine(std::string_view line) {
  std::string framed(line);
  framed.push_back('\n');
  return write(framed);
}

void ChildProcess::closeStdin() { closeFd(stdinFd_); }

std::string ChildProcess::stderrText() const {
  std::lock_guard lock(stderrMutex_);
  return stderrText_;
}

bool ChildProcess::waitForStderr(std::string_view needle, Deadline deadline) const {
  std::unique_lock lock(stderrMutex_);
  return stderrChanged_.wait_until(lock, deadline, [&] {
    return stderrText_.find(needle) != std::string::npos || stderrEof_;
  }) && stderrText_.find(needle) != std::string::npos;
}

bool ChildProcess::waitForStderrEnd(Deadline deadline) const {
  std::unique_lock lock(stderrMutex_);
  return stderrChanged_.wait_until(lock, deadline, [this] { return stderrEof_; });
}

bool ChildProcess::reapIfExited() {
  if (exitStatus_) return true;
  if (pid_ <= 0) return false;
  // Look without reaping first: while the leader is a zombie its PID (and so
  // its group ID) cannot be reused, so the group can be killed safely.
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid != pid_) {
    return false;
  }
  if (ownProcessGroup_) ::kill(-pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  exitStatus_ = decodeWaitStatus(status);
  return true;
}

bool ChildProcess::running() { return !reapIfExited(); }

std::optional<ExitStatus> ChildProcess::waitExit(Deadline deadline) {
  // waitpid has no timeout; a short poll is precise enough for tests.
  pollUntil([this] { return reapIfExited(); }, deadline, std::chrono::milliseconds(5));
  return exitStatus_;
}

void ChildProcess::kill(int signal) {
  if (pid_ > 0 && !exitStatus_) ::kill(pid_, signal);
}

void ChildProcess::killGroup(int signal) {
  if (pid_ <= 0 || exitStatus_) return;
  ::kill(ownProcessGroup_ ? -pid_ : pid_, signal);
}

ExitStatus ChildProcess::stop(Clock::duration grace) {
  kill(SIGTERM);
  if (auto status = waitExit(deadlineAfter(grace))) return *status;
  killGroup(SIGKILL);
  kill(SIGKILL);
  // SIGKILL cannot be ignored; the bound only guards against a wedged kernel.
  if (auto status = waitExit(deadlineAfter(std::chrono::seconds(30)))) return *status;
  throw std::runtime_error(program_ + " (pid " + std::to_string(pid_) + ") survived SIGKILL");
}

}  // namespace tavirel::test
