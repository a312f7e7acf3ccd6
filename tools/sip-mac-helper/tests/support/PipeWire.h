// A private PipeWire with its session manager (WirePlumber) and its
// PulseAudio-compatible server (pipewire-pulse), the sound stack of a
// Debian 12 desktop, with null sinks and sources instead of sound cards.
//
// The three processes run in the foreground with their own HOME, config,
// state and runtime directories in a temp dir; no systemd user session and
// no D-Bus is needed. The stock configuration is used as installed, with
// drop-ins in the private config directory that
//  - declare the startup devices as PipeWire adapter nodes (the way a user
//    configures virtual devices), the first sink and source with the
//    highest priority so the session manager makes them the defaults;
//  - turn off what needs hardware or a bus: the ALSA, V4L2, libcamera and
//    Bluetooth monitors, the portal access check and D-Bus itself.
// Clients reach it only through clientEnvironment(), as for PulseAudio.
//
// Devices plugged later are adapter nodes too, made with pw-cli and kept
// after pw-cli exits (object.linger), as a hot-plugged card appears in
// PipeWire itself rather than through a PulseAudio module.
//
// Unlike the PulseAudio daemon, pipewire-pulse adds a "Dummy Output"
// (auto_null) when there is no sink at all.
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

class PipeWire : public SoundServer {
 public:
  // Starts the three processes with the given null devices and waits
  // (bounded) until the PulseAudio-compatible server answers, lists every
  // device and has the first sink and source as its defaults. Throws
  // std::runtime_error, with the processes' logs, when that does not come.
  explicit PipeWire(PulseOptions options = {});
  // Stops whatever is still running (SIGTERM, then SIGKILL), by PID.
  ~PipeWire() override;

  PipeWire(const PipeWire&) = delete;
  PipeWire& operator=(const PipeWire&) = delete;

  SoundServerKind kind() const override { return SoundServerKind::pipeWire; }
  std::string serverAddress() const override;
  const std::filesystem::path& runtimeDir() const { return runtimeDir_; }
  // PULSE_SERVER, PULSE_RUNTIME_PATH and PULSE_CLIENTCONFIG (autospawn off).
  std::map<std::string, std::optional<std::string>> clientEnvironment() const override;

  // Runs pw-cli against the daemon; returns its stdout. pw-cli exits with
  // 0 also when a command fails, so callers check the outcome themselves.
  std::string pwCli(const std::vector<std::string>& arguments,
                    Clock::duration timeout = std::chrono::seconds(10)) const;

  // Hot-plug as adapter nodes; the handle stands for the node's name.
  int plugSink(const PulseDevice& sink) override;
  int plugSource(const PulseDevice& source) override;
  int plugToneSource(const PulseDevice& source) override;
  void unplug(int handle) override;

  ExitStatus stop() override;
  void restart() override;
  // To pipewire-pulse, the process the helper talks to.
  void signal(int number) override;
  // To the PipeWire daemon behind it. Killed, it takes WirePlumber along,
  // while pipewire-pulse stays up and turns every client away ("Host is
  // down"), until restart().
  void signalDaemon(int number);
  pid_t pid() const override { return pulseServer_->pid(); }
  pid_t daemonPid() const { return daemon_->pid(); }
  pid_t sessionManagerPid() const { return sessionManager_->pid(); }
  std::string logText() const override;

 protected:
  std::map<std::string, std::optional<std::string>> toolEnvironment() const override;

 private:
  TempDir dir_;
  PulseOptions options_;
  std::filesystem::path runtimeDir_;
  std::filesystem::path clientConfig_;
  std::map<std::string, std::optional<std::string>> daemonEnv_;
  std::unique_ptr<ChildProcess> daemon_;          // pipewire
  std::unique_ptr<ChildProcess> sessionManager_;  // wireplumber
  std::unique_ptr<ChildProcess> pulseServer_;     // pipewire-pulse
  std::map<int, std::string> plugged_;            // handle -> node name
  int nextHandle_ = 1;
  bool frozen_ = false;

  void launch();
  std::unique_ptr<ChildProcess> startProcess(const std::string& program) const;
  int plugNode(const std::string& nodeProperties, const std::string& name, bool sink);
  [[noreturn]] void fail(const std::string& what);
};

}  // namespace tavirel::test
