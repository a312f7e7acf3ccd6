// A private sound server for end-to-end tests, seen the way the helper sees
// it: through the PulseAudio protocol, with named sinks and sources.
//
// Two servers speak that protocol on Linux desktops: PulseAudio itself
// (PulseAudio.h) and PipeWire with its PulseAudio-compatible server
// (PipeWire.h). Tests that must hold on both take a SoundServerKind as their
// parameter and start the server with startSoundServer(); tests that only
// need some audio devices keep using the PulseAudio fixture directly.
//
// Each fixture runs its daemons in a temp dir of its own, hands clients the
// variables that reach them there (and nowhere else), and stops them by PID.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "ChildProcess.h"
#include "Deadline.h"

namespace tavirel::test {

struct PulseDevice {
  std::string name;         // sink or source name, e.g. "tavirel_out_a"
  // Display name (liblinphone shows it and builds device ids from it); the
  // name when empty. Quotes and apostrophes are fine; backslashes are not.
  std::string description;
};

struct PulseOptions {
  // The first sink and the first source are the server's defaults.
  std::vector<PulseDevice> sinks = {{"tavirel_out_a", "Tavirel Out A"}};
  std::vector<PulseDevice> sources = {{"tavirel_in_a", "Tavirel In A"}};
};

enum class SoundServerKind { pulseAudio, pipeWire };

// "PulseAudio" / "PipeWire": also the suffix of parametrized test names.
std::string_view nameOf(SoundServerKind kind);
inline std::ostream& operator<<(std::ostream& out, SoundServerKind kind) { return out << nameOf(kind); }
// Every kind, and the names of the tests for each, for
//   INSTANTIATE_TEST_SUITE_P(, Suite, ::testing::ValuesIn(kAllSoundServers), SoundServerName());
inline constexpr SoundServerKind kAllSoundServers[] = {SoundServerKind::pulseAudio, SoundServerKind::pipeWire};
struct SoundServerName {
  template <class ParamInfo>
  std::string operator()(const ParamInfo& info) const {
    return std::string(nameOf(info.param));
  }
};

class SoundServer {
 public:
  virtual ~SoundServer() = default;

  virtual SoundServerKind kind() const = 0;
  // "unix:<socket>", the value for PULSE_SERVER.
  virtual std::string serverAddress() const = 0;
  // The variables a client process needs to reach this server (and only
  // it: autospawn is off, so a client never starts a daemon of its own).
  virtual std::map<std::string, std::optional<std::string>> clientEnvironment() const = 0;

  // Runs pactl against this server; returns its stdout. Throws when pactl
  // fails or takes longer than `timeout`.
  std::string pactl(const std::vector<std::string>& arguments,
                    Clock::duration timeout = std::chrono::seconds(10)) const;

  // Hot-plug: a new null sink / null source / source playing a steady
  // 440 Hz tone, listed by the server once the call returns. The handle is
  // for unplug(), which returns once the device is no longer listed.
  virtual int plugSink(const PulseDevice& sink) = 0;
  virtual int plugSource(const PulseDevice& source) = 0;
  virtual int plugToneSource(const PulseDevice& source) = 0;
  virtual void unplug(int handle) = 0;

  // Names from `pactl list short sinks` / `sources` (sources include the
  // sinks' ".monitor" sources).
  std::vector<std::string> sinkNames() const;
  std::vector<std::string> sourceNames() const;
  // "Default Sink" / "Default Source" of `pactl info`.
  std::string defaultSinkName() const;
  std::string defaultSourceName() const;

  // Whether the process `pid` has both a playback and a capture stream open
  // on this server: its call's audio runs here.
  bool hasAudioStreamsOf(pid_t pid) const;

  // Stops the server's processes by PID; returns how the one serving the
  // PulseAudio protocol ended.
  virtual ExitStatus stop() = 0;
  // Stops it and starts it again on the same socket with the devices it was
  // started with, as a desktop restarts its sound server; waits (bounded)
  // until it answers.
  virtual void restart() = 0;
  // Sends `number` by PID to the process serving the PulseAudio protocol
  // (SIGSTOP freezes it, SIGCONT thaws it, SIGKILL ends it); a frozen
  // process is thawed before stop().
  virtual void signal(int number) = 0;
  virtual pid_t pid() const = 0;
  // What the server's processes wrote to stderr, for failure messages.
  virtual std::string logText() const = 0;

 protected:
  // Environment for the tools run against the server (pactl and the like):
  // the client variables plus private HOME and runtime directories, so the
  // tools leave nothing in the test user's home.
  virtual std::map<std::string, std::optional<std::string>> toolEnvironment() const = 0;
  // Runs `argv` with toolEnvironment(); returns its stdout. Throws when it
  // fails or takes longer than `timeout`.
  std::string runTool(const std::vector<std::string>& argv, Clock::duration timeout) const;
};

// Starts a server of `kind` with `options`'s devices; throws, with the
// server's log, when it does not come up.
std::unique_ptr<SoundServer> startSoundServer(SoundServerKind kind, PulseOptions options = {});

}  // namespace tavirel::test
