#include "pipe_process.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include "platform/process/spawn.h"

namespace tavirel::bench {
namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

PipeProcess::PipeProcess(const SpawnOptions& options) {
  if (options.argv.empty()) throw std::runtime_error("no program to start");
  name_ = std::filesystem::path(options.argv.front()).filename().string();
  static const bool ignoredSigpipe = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)ignoredSigpipe;

  // Both pipes stay blocking: the benchmark's reads and writes are the
  // figures, and the watchdog bounds them instead of a poll per read.
  process::Pipe input = process::makePipe();
  process::Pipe output = process::makePipe();
  process::SpawnOptions spawn;
  spawn.argv = options.argv;
  spawn.env = options.env;
  spawn.workingDirectory = options.workingDirectory;
  spawn.stdinFrom = process::Stdio::fd(input.read.get());
  spawn.stdoutTo = process::Stdio::fd(output.write.get());
  spawn.stderrTo = options.stderrFile.empty() ? process::Stdio::null() : process::Stdio::file(options.stderrFile, 0600);
  spawn.ownProcessGroup = true;
  spawn.dieWithParent = true;

  startedAt_ = Clock::now();
  pid_ = process::spawn(spawn);
  inFd_ = input.write.release();
  outFd_ = output.read.release();
  watchdog_ = std::thread([this] { watch(); });
}

PipeProcess::~PipeProcess() {
  {
    std::lock_guard lock(watchMutex_);
    watchEnding_ = true;
  }
  watchChanged_.notify_all();
  if (watchdog_.joinable()) watchdog_.join();
  if (!reaped_) {
    killGroup(SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
  closeFd(inFd_);
  closeFd(outFd_);
}

bool PipeProcess::writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    if (inFd_ < 0) return false;
    const ssize_t written = ::write(inFd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::size_t PipeProcess::readSome(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(outFd_, buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return 0;
  }
}

bool PipeProcess::waitReadable(Deadline deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd fd{outFd_, POLLIN, 0};
    const int ready = ::poll(&fd, 1, left.count() > 0 ? static_cast<int>(left.count()) + 1 : 0);
    if (ready > 0) return true;
    if (ready < 0 && errno == EINTR) continue;
    return false;
  }
}

void PipeProcess::closeInput() { closeFd(inFd_); }

void PipeProcess::arm(Deadline deadline) {
  {
    std::lock_guard lock(watchMutex_);
    watchDeadline_ = deadline;
  }
  watchChanged_.notify_all();
}

void PipeProcess::disarm() {
  {
    std::lock_guard lock(watchMutex_);
    watchDeadline_.reset();
  }
  watchChanged_.notify_all();
}

bool PipeProcess::timedOut() const {
  std::lock_guard lock(watchMutex_);
  return fired_;
}

void PipeProcess::watch() {
  std::unique_lock lock(watchMutex_);
  while (!watchEnding_) {
    if (!watchDeadline_) {
      watchChanged_.wait(lock);
      continue;
    }
    const Deadline deadline = *watchDeadline_;
    if (watchChanged_.wait_until(lock, deadline) == std::cv_status::timeout &&
        watchDeadline_ == deadline && !watchEnding_) {
      fired_ = true;
      watchDeadline_.reset();
      killGroup(SIGKILL);
    }
  }
}

void PipeProcess::killGroup(int signal) {
  // Only ever this child's own group, by its PID; reaped children are left
  // alone since their PID may belong to someone else by now.
  if (pid_ > 0 && !reaped_) ::kill(-pid_, signal);
}

bool PipeProcess::running() {
  if (reaped_) return false;
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    reaped_ = true;
    // The group may still hold what the child forked; it goes with it.
    ::kill(-pid_, SIGKILL);
    return false;
  }
  return true;
}

std::optional<int> PipeProcess::waitExit(Deadline deadline) {
  for (;;) {
    if (!reaped_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        ::kill(-pid_, SIGKILL);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    } else {
      return 0;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void PipeProcess::stop(Clock::duration grace) {
  if (reaped_) return;
  if (pid_ > 0) ::kill(pid_, SIGTERM);
  if (!waitExit(after(grace))) {
    killGroup(SIGKILL);
    (void)waitExit(after(std::chrono::seconds(5)));
  }
}

std::map<std::string, std::optional<std::string>> privateEnvironment(
    const std::filesystem::path& home, const std::map<std::string, std::optional<std::string>>& extra) {
  namespace fs = std::filesystem;
  std::map<std::string, std::optional<std::string>> env;
  const auto dir = [&](const char* relative) {
    const fs::path path = home / relative;
    fs::create_directories(path);
    return path.string();
  };
  env["HOME"] = home.string();
  env["XDG_CONFIG_HOME"] = dir(".config");
  env["XDG_DATA_HOME"] = dir(".local/share");
  env["XDG_STATE_HOME"] = dir(".local/state");
  env["XDG_CACHE_HOME"] = dir(".cache");
  env["XDG_RUNTIME_DIR"] = dir("run");
  dir(".config/pulse");
  {
    FILE* conf = std::fopen((home / ".config/pulse/client.conf").c_str(), "w");
    if (conf) {
      std::fputs("autospawn = no\n", conf);
      std::fclose(conf);
    }
  }
  for (const char* name : {"PULSE_SERVER", "PULSE_RUNTIME_PATH", "PULSE_COOKIE", "PULSE_CLIENTCONFIG",
                           "PULSE_SINK", "PULSE_SOURCE", "TAVIREL_LINPHONE_MAC_SDK_ROOT"})
    env[name] = std::nullopt;
  for (const auto& [name, value] : extra) env[name] = value;
  return env;
}

}  // namespace tavirel::bench
