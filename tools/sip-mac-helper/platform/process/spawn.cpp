#include "platform/process/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

extern char** environ;

namespace tavirel::process {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Pipe makePipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

Stdio Stdio::fd(int descriptor) {
  if (descriptor < 0) throw std::invalid_argument("Stdio::fd: no descriptor");
  Stdio stdio(Kind::fd);
  stdio.fd_ = descriptor;
  return stdio;
}

Stdio Stdio::file(std::filesystem::path path, mode_t mode) {
  Stdio stdio(Kind::file);
  stdio.path_ = std::move(path);
  stdio.mode_ = mode;
  return stdio;
}

SpawnError::SpawnError(std::string program, std::string reason)
    : std::runtime_error("cannot start " + program + ": " + reason),
      program_(std::move(program)),
      reason_(std::move(reason)) {}

// What the child writes into the report pipe when it gives up before exec.
struct ChildFailure {
  enum Stage : int { stdio = 1, directory = 2, exec = 3 };
  int stage = 0;
  int error = 0;
};

namespace {

std::vector<std::string> environmentFor(const SpawnOptions& options) {
  std::map<std::string, std::string> variables;
  if (!options.clearEnvironment) {
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string_view text(*entry);
      const auto equals = text.find('=');
      if (equals == std::string_view::npos) continue;
      variables.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
  }
  for (const auto& [name, value] : options.env) {
    if (value) variables[name] = *value;
    else variables.erase(name);
  }
  std::vector<std::string> result;
  result.reserve(variables.size());
  for (const auto& [name, value] : variables) result.push_back(name + "=" + value);
  return result;
}

// The places exec tries, in order: the program itself when it names a path,
// else each directory of the child's PATH (the caller's when the child gets
// none), then the extra ones.
std::vector<std::string> candidatesFor(const SpawnOptions& options, const std::vector<std::string>& environment) {
  const std::string& program = options.argv.front();
  if (program.find('/') != std::string::npos) return {program};
  std::string path = "/usr/local/bin:/usr/bin:/bin";
  if (const char* own = std::getenv("PATH")) path = own;
  for (const auto& entry : environment)
    if (entry.starts_with("PATH=")) path = entry.substr(5);
  std::vector<std::string> directories;
  for (std::string_view rest = path; !rest.empty();) {
    const auto colon = rest.find(':');
    directories.emplace_back(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  directories.insert(directories.end(), options.alsoSearch.begin(), options.alsoSearch.end());
  std::vector<std::string> candidates;
  for (const auto& directory : directories)
    if (!directory.empty()) candidates.push_back(directory + "/" + program);
  return candidates;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

// One start: what the child needs, made before fork; then the fork, the
// child's side up to exec, and the parent's wait for exec or its failure.
class Spawner {
 public:
  explicit Spawner(const SpawnOptions& options);
  pid_t run();

 private:
  int prepare(const Stdio& stdio, int slot);
  std::string describe(const ChildFailure& failure) const;
  [[noreturn]] void child(int report, pid_t parent) noexcept;
  bool wireStdio() noexcept;
  [[noreturn]] static void fail(int report, int stage, int error) noexcept;

  const SpawnOptions& options_;
  std::vector<std::string> environment_, arguments_, candidates_;
  std::vector<char*> envp_, argvp_, candidatePointers_;
  std::string directory_;
  UniqueFd opened_[3];  // the files and /dev/null opened for the child
  int source_[3] = {-1, -1, -1};  // what becomes fd 0, 1, 2; -1: inherited
};

Spawner::Spawner(const SpawnOptions& options)
    : options_(options),
      environment_(environmentFor(options)),
      arguments_(options.argv),
      candidates_(candidatesFor(options, environment_)),
      envp_(pointersTo(environment_)),
      argvp_(pointersTo(arguments_)),
      candidatePointers_(pointersTo(candidates_)),
      directory_(options.workingDirectory.string()) {
  source_[0] = prepare(options.stdinFrom, 0);
  source_[1] = prepare(options.stdoutTo, 1);
  source_[2] = prepare(options.stderrTo, 2);
}

int Spawner::prepare(const Stdio& stdio, int slot) {
  int fd = -1;
  std::string name;
  switch (stdio.kind_) {
    case Stdio::Kind::inherit:
      return -1;
    case Stdio::Kind::fd:
      return stdio.fd_;
    case Stdio::Kind::null:
      name = "/dev/null";
      fd = ::open(name.c_str(), (slot == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
      break;
    case Stdio::Kind::file:
      name = stdio.path_.string();
      fd = slot == 0 ? ::open(name.c_str(), O_RDONLY | O_CLOEXEC)
                     : ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, stdio.mode_);
      break;
  }
  if (fd < 0) throw SpawnError(options_.argv.front(), "cannot open " + name + ": " + std::strerror(errno));
  opened_[slot].reset(fd);
  return fd;
}

pid_t Spawner::run() {
  Pipe report = makePipe();
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw SpawnError(options_.argv.front(), std::string("fork: ") + std::strerror(errno));
  if (pid == 0) child(report.write.get(), parent);
  report.write.reset();

  ChildFailure failure;
  ssize_t got;
  do {
    got = ::read(report.read.get(), &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  // Closed by exec: the child's set-up, its process group included, is done.
  if (got != static_cast<ssize_t>(sizeof failure)) return pid;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  throw SpawnError(options_.argv.front(), describe(failure));
}

std::string Spawner::describe(const ChildFailure& failure) const {
  const std::string error = std::strerror(failure.error);
  switch (failure.stage) {
    case ChildFailure::stdio:
      return "cannot set up its standard descriptors: " + error;
    case ChildFailure::directory:
      return "cannot change to directory " + directory_ + ": " + error;
    default:
      if (failure.error == ENOENT && options_.argv.front().find('/') == std::string::npos)
        return "not found in PATH";
      return error;
  }
}

// In the child: async-signal-safe calls only, on what run() prepared.
void Spawner::child(int report, pid_t parent) noexcept {
  // A caller that runs with 0, 1 or 2 closed gets the report pipe there; it
  // must not be overwritten by the child's own standard descriptors.
  if (report < 3) report = ::fcntl(report, F_DUPFD_CLOEXEC, 3);
  if (options_.ownProcessGroup) ::setpgid(0, 0);
  if (options_.dieWithParent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);  // the parent went before prctl
  }
  // An ignored signal stays ignored across exec, and the mask is inherited;
  // the program starts as if from a shell.
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &defaultAction, nullptr);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (!wireStdio()) fail(report, ChildFailure::stdio, errno);
  if (options_.closeOtherFds) {
    if (report > 3) ::close_range(3, static_cast<unsigned>(report) - 1, 0);
    ::close_range(static_cast<unsigned>(report) + 1, ~0U, 0);
  }
  if (!directory_.empty() && ::chdir(directory_.c_str()) != 0) fail(report, ChildFailure::directory, errno);
  int error = ENOENT;
  for (char** candidate = candidatePointers_.data(); *candidate != nullptr; ++candidate) {
    ::execve(*candidate, argvp_.data(), envp_.data());
    // As a shell does: a program found but not runnable says why, rather
    // than the last directory's "no such file".
    if (errno != ENOENT && errno != ENOTDIR && error == ENOENT) error = errno;
  }
  fail(report, ChildFailure::exec, error);
}

bool Spawner::wireStdio() noexcept {
  int lifted[3];
  for (int slot = 0; slot < 3; ++slot) {
    lifted[slot] = source_[slot];
    // A source that is itself 0, 1 or 2 would be overwritten by an earlier
    // slot's dup2; it moves above them first (the copy closes on exec).
    if (lifted[slot] >= 0 && lifted[slot] < 3) {
      lifted[slot] = ::fcntl(lifted[slot], F_DUPFD_CLOEXEC, 3);
      if (lifted[slot] < 0) return false;
    }
  }
  for (int slot = 0; slot < 3; ++slot)
    if (lifted[slot] >= 0 && ::dup2(lifted[slot], slot) < 0) return false;
  return true;
}

void Spawner::fail(int report, int stage, int error) noexcept {
  const ChildFailure failure{stage, error};
  (void)!::write(report, &failure, sizeof failure);
  ::_exit(127);
}

pid_t spawn(const SpawnOptions& options) {
  if (options.argv.empty()) throw std::invalid_argument("spawn: empty argv");
  Spawner spawner(options);
  return spawner.run();
}

}  // namespace tavirel::process
