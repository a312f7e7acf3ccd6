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
#include <vector>

#include "ChildProcess.h"
#include "SoundServer.h"
#include "TempDir.h"

namespace tavirel::test {

class PulseAudio : public SoundServer {
 public:
  // Starts the daemon with the given null devices and waits (bounded) until
  // `pactl info` answers. Throws std::runtime_error, with the daemon's log,
  // when it does not come up.
  explicit PulseAudio(PulseOptions options = {});
  // Stops the daemon (SIGTERM, then SIGKILL) if still running.
  ~PulseAudio() override;

  PulseAudio(const PulseAudio&) = delete;
  PulseAudio& operator=(const PulseAudio&) = delete;

  SoundServerKind kind() const override { return SoundServerKind::pulseAudio; }
  std::string serverAddress() const override;
  const std::filesystem::path& runtimeDir() const { return runtimeDir_; }
  // PULSE_SERVER, PULSE_RUNTIME_PATH and PULSE_CLIENTCONFIG (autospawn off)
  // for a client process of this daemon. No cookie is needed: the daemon
  // accepts anonymous clients on its socket.
  std::map<std::string, std::optional<std::string>> clientEnvironment() const override;

  // Loads a null sink / null source now and returns the module index.
  int loadNullSink(const PulseDevice& sink) const;
  int loadNullSource(const PulseDevice& source) const;
  void unloadModule(int index) const;

  // Hot-plug as modules: the handle is the module index.
  int plugSink(const PulseDevice& sink) override { return loadNullSink(sink); }
  int plugSource(const PulseDevice& source) override { return loadNullSource(source); }
  int plugToneSource(const PulseDevice& source) override;
  void unplug(int handle) override { unloadModule(handle); }

  ExitStatus stop() override;
  void restart() override;
  void signal(int number) override;
  pid_t pid() const override { return daemon_->pid(); }
  std::string logText() const override { return daemon_->stderrText(); }

 protected:
  std::map<std::string, std::optional<std::string>> toolEnvironment() const override;

 private:
  TempDir dir_;
  std::filesystem::path runtimeDir_;
  std::filesystem::path clientConfig_;
  std::map<std::string, std::optional<std::string>> daemonEnv_;
  ProcessOptions processOptions_;
  std::unique_ptr<ChildProcess> daemon_;
  bool frozen_ = false;

  void launch();
};

}  // namespace tavirel::test
