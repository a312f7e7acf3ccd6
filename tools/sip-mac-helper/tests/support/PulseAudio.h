// A private PulseAudio daemon with null sinks and sources, so tests have
// audio devices without sound hardware, D-Bus or systemd.
//
// The daemon runs in the foreground with its own runtime, state and home
// directories in a temp dir and serves only a UNIX socket there, without
// authentication. It also runs as root: it warns but works in that
// mode as long as --system is not given. Clients find it through the
// variables of clientEnvironment(); autospawn is disabled there, so a client
// never starts a daemon of its own when this one is gone.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"

namespace tavirel::test {

struct PulseDevice {
  std::string name;         // sink or source name, e.g. "tavirel_out_a"
  // Display name (liblinphone shows it and builds device ids from it); the
  // name when empty. Quotes and apostrophes are fine; backslashes are not.
  std::string description;
};

struct PulseOptions {
  std::vector<PulseDevice> sinks = {{"tavirel_out_a", "Tavirel Out A"}};
  std::vector<PulseDevice> sources = {{"tavirel_in_a", "Tavirel In A"}};
};

class PulseAudio {
 public:
  // Starts the daemon with the given null devices and waits (bounded) until
  // `pactl info` answers. Throws std::runtime_error, with the daemon's log,
  // when it does not come up.
  explicit PulseAudio(PulseOptions options = {});
  // Stops the daemon (SIGTERM, then SIGKILL) if still running.
  ~PulseAudio();

  PulseAudio(const PulseAudio&) = delete;
  PulseAudio& operator=(const PulseAudio&) = delete;

  // "unix:<dir>/native", the value for PULSE_SERVER.
  std::string serverAddress() const;
  const std::filesystem::path& runtimeDir() const { return runtimeDir_; }
  // PULSE_SERVER, PULSE_RUNTIME_PATH and PULSE_CLIENTCONFIG (autospawn off)
  // for a client process of this daemon. No cookie is needed: the daemon
  // accepts anonymous clients on its socket.
  std::map<std::string, std::optional<std::string>> clientEnvironment() const;

  // Runs pactl against this daemon; returns its stdout. Throws when pactl
  // fails or takes longer than `timeout`.
  std::string pactl(const std::vector<std::string>& arguments,
                    Clock::duration timeout = std::chrono::seconds(10)) const;

  // Loads a null sink / null source now and returns the module index.
  int loadNullSink(const PulseDevice& sink) const;
  int loadNullSource(const PulseDevice& source) const;
  void unloadModule(int index) const;

  // Names from `pactl list short sinks` / `sources` (sources include the
  // sinks' ".monitor" sources).
  std::vector<std::string> sinkNames() const;
  std::vector<std::string> sourceNames() const;

  // Stops the daemon by its PID; returns how it ended.
  ExitStatus stop();
  pid_t pid() const { return daemon_->pid(); }
  std::string logText() const { return daemon_->stderrText(); }

 private:
  TempDir dir_;
  std::filesystem::path runtimeDir_;
  std::filesystem::path clientConfig_;
  std::map<std::string, std::optional<std::string>> daemonEnv_;
  std::unique_ptr<ChildProcess> daemon_;
};

}  // namespace tavirel::test
