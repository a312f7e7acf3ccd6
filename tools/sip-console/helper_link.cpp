#include "helper_link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/process/spawn.h"

namespace tavirel::console {
namespace {

constexpr std::size_t kTailLines = 20;
constexpr auto kExitGrace = std::chrono::milliseconds(2000);

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string describe(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  }
  return "stopped";
}

}  // namespace

HelperLink::HelperLink(const std::string& program, const std::optional<std::string>& logFile) {
  process::Pipe in = process::makePipe(), out = process::makePipe(), err = process::makePipe();
  process::Pipe wake = process::makePipe();
  process::UniqueFd log;
  if (logFile) {
    log.reset(::open(logFile->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!log) throw std::runtime_error("cannot write " + *logFile + ": " + std::strerror(errno));
  }
  process::SpawnOptions spawn;
  // --helper takes a path: a bare name is a file here, not a PATH lookup.
  spawn.argv = {program.find('/') == std::string::npos ? "./" + program : program};
  spawn.stdinFrom = process::Stdio::fd(in.read.get());
  spawn.stdoutTo = process::Stdio::fd(out.write.get());
  spawn.stderrTo = process::Stdio::fd(err.write.get());
  spawn.ownProcessGroup = true;
  spawn.dieWithParent = true;
  try {
    pid_ = process::spawn(spawn);
  } catch (const process::SpawnError& e) {
    throw std::runtime_error("cannot start the helper " + program + ": " + e.reason());
  }
  stdinFd_ = in.write.release(), stdoutFd_ = out.read.release(), stderrFd_ = err.read.release();
  wakeFd_[0] = wake.read.release(), wakeFd_[1] = wake.write.release();
  stderrReader_ = std::thread([this, logFd = log.release()] { readStderr(logFd); });
}

HelperLink::~HelperLink() { finish(); }

bool HelperLink::send(std::string_view line) {
  if (stdinFd_ < 0) return false;
  std::string bytes(line);
  bytes += '\n';
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t wrote = ::write(stdinFd_, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

HelperLink::Read HelperLink::readLine(std::string& line, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (auto end = stdoutBuffer_.find('\n'); end != std::string::npos) {
      line = stdoutBuffer_.substr(0, end);
      stdoutBuffer_.erase(0, end + 1);
      return Read::line;
    }
    if (stdoutFd_ < 0) return Read::closed;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Read::timeout;
    pollfd fd{stdoutFd_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;  // time-out or EINTR: check again
    char chunk[8192];
    const ssize_t got = ::read(stdoutFd_, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) closeFd(stdoutFd_);
    else stdoutBuffer_.append(chunk, static_cast<std::size_t>(got));
  }
}

void HelperLink::readStderr(int logFd) {
  std::string partial;
  char chunk[8192];
  while (true) {
    pollfd fds[2] = {{stderrFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno == EINTR) continue;
    if (fds[1].revents != 0) break;
    const ssize_t got = ::read(stderrFd_, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (logFd >= 0) (void)!::write(logFd, chunk, static_cast<std::size_t>(got));
    partial.append(chunk, static_cast<std::size_t>(got));
    std::lock_guard lock(tailMutex_);
    for (auto end = partial.find('\n'); end != std::string::npos; end = partial.find('\n')) {
      tail_.push_back(partial.substr(0, end));
      partial.erase(0, end + 1);
      if (tail_.size() > kTailLines) tail_.pop_front();
    }
  }
  if (logFd >= 0) ::close(logFd);
  std::lock_guard lock(tailMutex_);
  if (!partial.empty()) tail_.push_back(partial);
  stderrEnded_ = true;
}

bool HelperLink::waitStderrEnd(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    {
      std::lock_guard lock(tailMutex_);
      if (stderrEnded_) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    ::usleep(2'000);
  }
}

std::vector<std::string> HelperLink::stderrTail() const {
  std::lock_guard lock(tailMutex_);
  return {tail_.begin(), tail_.end()};
}

std::optional<std::string> HelperLink::exitDescription(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!waitStatus_ && pid_ > 0) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) waitStatus_ = status;
    else if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    else ::usleep(10'000);
  }
  if (!waitStatus_) return std::nullopt;
  return describe(*waitStatus_);
}

void HelperLink::finish() {
  closeFd(stdinFd_);
  if (pid_ > 0 && !exitDescription(kExitGrace)) {
    ::kill(pid_, SIGTERM);
    if (!exitDescription(kExitGrace)) {
      ::kill(pid_, SIGKILL);
      exitDescription(kExitGrace);
    }
  }
  if (stderrReader_.joinable()) {
    // The helper is gone; what it wrote last is in the pipe or read already.
    // Give the reader a moment to drain, then wake it if something else
    // (a grandchild) still holds the pipe open.
    waitStderrEnd(std::chrono::milliseconds(100));
    (void)!::write(wakeFd_[1], "x", 1);
    stderrReader_.join();
  }
  for (int* fd : {&stdoutFd_, &stderrFd_, &wakeFd_[0], &wakeFd_[1]}) closeFd(*fd);
}

}  // namespace tavirel::console
