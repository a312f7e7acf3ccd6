#include "PulseAudio.h"

#include <signal.h>

#include <stdexcept>

namespace tavirel::test {
namespace {

std::string escapedFor(std::string_view text, std::string_view special) {
  std::string escaped;
  for (char c : text) {
    if (special.find(c) != std::string_view::npos) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string descriptionOf(const PulseDevice& device) {
  return device.description.empty() ? device.name : device.description;
}

// The null sink and the sine source take their description as a property
// list inside a module argument, so it is quoted twice: in double quotes
// for the property list parser, then in single quotes for the module
// argument parser. Each parser only unescapes its own quote character. The
// null source has a description argument of its own.
std::string propertiesArgument(std::string_view argument, const PulseDevice& device) {
  return std::string(argument) + "='device.description=\"" +
         escapedFor(escapedFor(descriptionOf(device), "\""), "'") + "\"'";
}

std::string nullSinkArguments(const PulseDevice& sink) {
  return "sink_name=" + sink.name + " " + propertiesArgument("sink_properties", sink);
}

std::string sourcePropertiesArgument(const PulseDevice& source) {
  return propertiesArgument("source_properties", source);
}

std::string nullSourceArguments(const PulseDevice& source) {
  return "source_name=" + source.name + " description='" +
         escapedFor(descriptionOf(source), "'") + "'";
}

int parseIndex(const std::string& output) {
  try {
    return std::stoi(output);
  } catch (const std::exception&) {
    throw std::runtime_error("pactl load-module printed no module index: " + output);
  }
}

}  // namespace

PulseAudio::PulseAudio(PulseOptions options) : dir_("tavirel-pa") {
  runtimeDir_ = dir_.makeDir("run");
  auto home = dir_.makeDir("home");
  auto state = dir_.makeDir("state");
  dir_.makeDir("home/.config/pulse");
  clientConfig_ = dir_.writeFile("client.conf", "autospawn = no\n");

  std::string script =
      "load-module module-native-protocol-unix socket=" + (runtimeDir_ / "native").string() +
      " auth-anonymous=1\n";
  for (const auto& sink : options.sinks) {
    script += "load-module module-null-sink " + nullSinkArguments(sink) + "\n";
  }
  for (const auto& source : options.sources) {
    script += "load-module module-null-source " + nullSourceArguments(source) + "\n";
  }
  // Null devices do not become defaults by themselves in a predictable order.
  if (!options.sinks.empty()) script += "set-default-sink " + options.sinks.front().name + "\n";
  if (!options.sources.empty()) {
    script += "set-default-source " + options.sources.front().name + "\n";
  }
  auto scriptFile = dir_.writeFile("daemon.pa", script);

  daemonEnv_ = {
      {"HOME", home.string()},
      {"XDG_CONFIG_HOME", (home / ".config").string()},
      {"XDG_RUNTIME_DIR", runtimeDir_.string()},
      {"PULSE_RUNTIME_PATH", runtimeDir_.string()},
      {"PULSE_STATE_PATH", state.string()},
      {"PULSE_CLIENTCONFIG", clientConfig_.string()},
      // No session bus, no X11: keep the daemon from trying either.
      {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
      {"DISPLAY", std::nullopt},
      {"PULSE_SERVER", std::nullopt},
  };

  ProcessOptions process;
  process.argv = {
      "pulseaudio",
      "-n",  // no default script: only the modules loaded above
      "--daemonize=no",
      "--system=false",  // root is refused only in system mode
      "--exit-idle-time=-1",
      "--disallow-exit",
      "--use-pid-file=no",
      "--realtime=no",
      "--high-priority=no",
      "--log-target=stderr",
      "-F",
      scriptFile.string(),
  };
  process.env = daemonEnv_;
  process.workingDirectory = dir_.path();
  processOptions_ = std::move(process);
  launch();
}

void PulseAudio::launch() {
  daemon_ = std::make_unique<ChildProcess>(processOptions_);

  auto deadline = deadlineAfter(std::chrono::seconds(15));
  bool ready = pollUntil(
      [&] {
        if (!daemon_->running()) return true;  // reported below
        try {
          pactl({"info"}, std::chrono::seconds(5));
          return true;
        } catch (const std::runtime_error&) {
          return false;
        }
      },
      deadline, std::chrono::milliseconds(50));
  if (!ready || !daemon_->running()) {
    std::string how = "did not answer in time";
    if (!daemon_->running()) {
      daemon_->waitForStderrEnd(deadlineAfter(std::chrono::seconds(1)));
      how = "exited: " + daemon_->exitStatus()->describe();
    }
    throw std::runtime_error("pulseaudio " + how + "\n--- pulseaudio log ---\n" + logText());
  }
}

PulseAudio::~PulseAudio() {
  if (daemon_ && daemon_->running()) stop();
}

std::string PulseAudio::serverAddress() const { return "unix:" + (runtimeDir_ / "native").string(); }

std::map<std::string, std::optional<std::string>> PulseAudio::clientEnvironment() const {
  return {
      {"PULSE_SERVER", serverAddress()},
      {"PULSE_RUNTIME_PATH", runtimeDir_.string()},
      {"PULSE_CLIENTCONFIG", clientConfig_.string()},
  };
}

std::map<std::string, std::optional<std::string>> PulseAudio::toolEnvironment() const {
  auto env = daemonEnv_;
  for (const auto& [name, value] : clientEnvironment()) env[name] = value;
  return env;
}

int PulseAudio::loadNullSink(const PulseDevice& sink) const {
  return parseIndex(pactl({"load-module", "module-null-sink", nullSinkArguments(sink)}));
}

int PulseAudio::loadNullSource(const PulseDevice& source) const {
  return parseIndex(pactl({"load-module", "module-null-source", nullSourceArguments(source)}));
}

void PulseAudio::unloadModule(int index) const { pactl({"unload-module", std::to_string(index)}); }

int PulseAudio::plugToneSource(const PulseDevice& source) {
  return parseIndex(pactl({"load-module", "module-sine-source", "source_name=" + source.name, "frequency=440",
                           sourcePropertiesArgument(source)}));
}

ExitStatus PulseAudio::stop() {
  if (!daemon_->running()) return *daemon_->exitStatus();
  if (frozen_) signal(SIGCONT);
  return daemon_->stop(std::chrono::seconds(5));
}

void PulseAudio::restart() {
  stop();
  launch();
}

void PulseAudio::signal(int number) {
  if (::kill(daemon_->pid(), number) != 0) throw std::runtime_error("kill(pulseaudio) failed");
  if (number == SIGSTOP) frozen_ = true;
  if (number == SIGCONT) frozen_ = false;
}

}  // namespace tavirel::test
