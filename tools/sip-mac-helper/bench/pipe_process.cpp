#include "pipe_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tavirel::bench {
namespace {

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::vector<std::string> buildEnvironment(const std::map<std::string, std::optional<std::string>>& changes) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    std::string_view text(*entry);
    const auto eq = text.find('=');
    if (eq == std::string_view::npos) continue;
    merged[std::string(text.substr(0, eq))] = std::string(text.substr(eq + 1));
  }
  for (const auto& [name, value] : changes) {
    if (value) merged[name] = *value;
    else merged.erase(name);
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : merged) out.push_back(name + "=" + value);
  return out;
}

}  // namespace

PipeProcess::PipeProcess(const SpawnOptions& options) {
  if (options.argv.empty()) throw std::runtime_error("no program to start");
  name_ = std::filesystem::path(options.argv.front()).filename().string();
  static const bool ignoredSigpipe = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)ignoredSigpipe;

  // Everything exec needs is prepared before fork: the child only calls
  // async-signal-safe functions.
  std::vector<std::string> env = buildEnvironment(options.env);
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = options.argv;
  std::vector<char*> argvp;
  for (auto& arg : args) argvp.push_back(arg.data());
  argvp.push_back(nullptr);
  const std::string cwd = options.workingDirectory.string();
  const std::string errPath = options.stderrFile.empty() ? "/dev/null" : options.stderrFile.string();
  // The program is looked up in the child's PATH, as the shell would.
  std::string path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  for (const auto& entry : env)
    if (entry.starts_with("PATH=")) path = entry.substr(5);

  int inPipe[2], outPipe[2], failPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) != 0) throwErrno("pipe");
  if (::pipe2(outPipe, O_CLOEXEC) != 0) throwErrno("pipe");
  if (::pipe2(failPipe, O_CLOEXEC) != 0) throwErrno("pipe");
  const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (errFd < 0) throwErrno("open " + errPath);
  const pid_t parent = ::getpid();

  startedAt_ = Clock::now();
  pid_ = ::fork();
  if (pid_ < 0) throwErrno("fork");
  if (pid_ == 0) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(inPipe[0], 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errFd, 2);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
      const int error = errno;
      (void)!::write(failPipe[1], &error, sizeof error);
      ::_exit(127);
    }
    if (std::strchr(argvp[0], '/')) {
      ::execve(argvp[0], argvp.data(), envp.data());
    } else {
      const char* dirs = path.c_str();
      char candidate[4096];
      while (*dirs) {
        const char* colon = std::strchr(dirs, ':');
        const std::size_t length = colon ? static_cast<std::size_t>(colon - dirs) : std::strlen(dirs);
        const std::size_t nameLength = std::strlen(argvp[0]);
        if (length + nameLength + 2 < sizeof candidate) {
          std::memcpy(candidate, dirs, length);
          candidate[length] = '/';
          std::memcpy(candidate + length + 1, argvp[0], nameLength + 1);
          ::execve(candidate, argvp.data(), envp.data());
        }
        dirs += length + (colon ? 1 : 0);
      }
    }
    const int error = errno;
    (void)!::write(failPipe[1], &error, sizeof error);
    ::_exit(127);
  }
  ::setpgid(pid_, pid_);  // also from here, so the group exists before we signal it
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(failPipe[1]);
  ::close(errFd);
  inFd_ = inPipe[1];
  outFd_ = outPipe[0];

  int execError = 0;
  ssize_t got;
  do got = ::read(failPipe[0], &execError, sizeof execError);
  while (got < 0 && errno == EINTR);
  ::close(failPipe[0]);
  if (got == static_cast<ssize_t>(sizeof execError)) {
    ::waitpid(pid_, nullptr, 0);
    reaped_ = true;
    closeFd(inFd_);
    closeFd(outFd_);
    throw std::runtime_error("cannot start " + options.argv.front() + ": " + std::strerror(execError));
  }
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
