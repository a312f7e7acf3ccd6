#include "PipeWire.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace tavirel::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartWithin = 15s;
constexpr auto kListedWithin = 10s;

// A string in PipeWire's JSON dialect (configuration files and pw-cli
// property lists).
std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string descriptionOf(const PulseDevice& device) {
  return device.description.empty() ? device.name : device.description;
}

// Sinks are null sinks; sources are null sinks turned around (their ports
// are outputs), the form PipeWire gives a virtual microphone.
std::string nullNodeProperties(const PulseDevice& device, bool sink, int priority) {
  return "factory.name = support.null-audio-sink node.name = " + jsonString(device.name) +
         " node.description = " + jsonString(descriptionOf(device)) + " media.class = " +
         (sink ? "Audio/Sink" : "Audio/Source/Virtual") +
         " audio.position = [ FL FR ] priority.session = " + std::to_string(priority);
}

std::string toneNodeProperties(const PulseDevice& device) {
  // audiotestsrc plays 440 Hz by default; the stock daemon configuration
  // has no library entry for it, so the node names its library itself.
  return "factory.name = audiotestsrc library.name = audiotestsrc/libspa-audiotestsrc node.name = " +
         jsonString(device.name) + " node.description = " + jsonString(descriptionOf(device)) +
         " media.class = Audio/Source";
}

// Whether a daemon listens on the UNIX socket `path`: a killed one leaves
// the socket file behind, so its presence says nothing.
bool listensAt(const std::filesystem::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof(address.sun_path)) {
    ::close(fd);
    return false;
  }
  std::copy(text.begin(), text.end(), address.sun_path);
  const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return connected;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

PipeWire::PipeWire(PulseOptions options) : dir_("tavirel-pw"), options_(std::move(options)) {
  runtimeDir_ = dir_.makeDir("run");
  auto home = dir_.makeDir("home");
  auto state = dir_.makeDir("state");
  dir_.makeDir("home/.config/pulse");
  clientConfig_ = dir_.writeFile("client.conf", "autospawn = no\n");

  // Startup devices, in priority order: the session manager picks the
  // highest as default; devices plugged later get none and stay behind.
  std::string objects;
  auto declare = [&](const std::vector<PulseDevice>& devices, bool sink) {
    int priority = 2000;
    for (const auto& device : devices) {
      objects += "  { factory = adapter args = { " + nullNodeProperties(device, sink, priority--) + " } }\n";
    }
  };
  declare(options_.sinks, true);
  declare(options_.sources, false);
  dir_.makeDir("home/.config/pipewire/pipewire.conf.d");
  dir_.writeFile("home/.config/pipewire/pipewire.conf.d/50-tavirel.conf",
                 "context.properties = { support.dbus = false }\ncontext.objects = [\n" + objects + "]\n");
  dir_.makeDir("home/.config/pipewire/pipewire-pulse.conf.d");
  dir_.writeFile("home/.config/pipewire/pipewire-pulse.conf.d/50-tavirel.conf",
                 "context.properties = { support.dbus = false }\n");
  // WirePlumber reads these fragments after the stock ones that enable the
  // monitors, and before the one that starts them.
  dir_.makeDir("home/.config/wireplumber/main.lua.d");
  dir_.writeFile("home/.config/wireplumber/main.lua.d/60-tavirel-headless.lua",
                 "alsa_monitor.enabled = false\n"
                 "v4l2_monitor.enabled = false\n"
                 "libcamera_monitor.enabled = false\n"
                 "default_access.properties[\"enable-flatpak-portal\"] = false\n");
  dir_.makeDir("home/.config/wireplumber/bluetooth.lua.d");
  dir_.writeFile("home/.config/wireplumber/bluetooth.lua.d/60-tavirel-headless.lua",
                 "bluez_monitor.enabled = false\n");

  daemonEnv_ = {
      {"HOME", home.string()},
      {"XDG_CONFIG_HOME", (home / ".config").string()},
      {"XDG_DATA_HOME", dir_.makeDir("home/.local/share").string()},
      {"XDG_STATE_HOME", state.string()},
      {"XDG_RUNTIME_DIR", runtimeDir_.string()},
      {"PULSE_RUNTIME_PATH", (runtimeDir_ / "pulse").string()},
      {"PULSE_CLIENTCONFIG", clientConfig_.string()},
      // Nothing from the test's own session: no bus, no display, no other
      // PipeWire or PulseAudio, no configuration from elsewhere.
      {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
      {"DISPLAY", std::nullopt},
      {"WAYLAND_DISPLAY", std::nullopt},
      {"PULSE_SERVER", std::nullopt},
      {"PIPEWIRE_REMOTE", std::nullopt},
      {"PIPEWIRE_RUNTIME_DIR", std::nullopt},
      {"PIPEWIRE_CONFIG_DIR", std::nullopt},
      {"PIPEWIRE_CONFIG_NAME", std::nullopt},
      {"WIREPLUMBER_CONFIG_DIR", std::nullopt},
      {"WIREPLUMBER_DATA_DIR", std::nullopt},
  };
  launch();
}

PipeWire::~PipeWire() {
  try {
    stop();
  } catch (const std::exception&) {
    // The ChildProcess destructors kill and reap what is left.
  }
}

std::unique_ptr<ChildProcess> PipeWire::startProcess(const std::string& program) const {
  ProcessOptions process;
  process.argv = {program};
  process.env = daemonEnv_;
  process.workingDirectory = dir_.path();
  return std::make_unique<ChildProcess>(std::move(process));
}

void PipeWire::launch() {
  plugged_.clear();
  daemon_ = startProcess("pipewire");
  // The other two connect once, at start: the daemon must be listening.
  bool listening = pollUntil([&] { return !daemon_->running() || listensAt(runtimeDir_ / "pipewire-0"); },
                             deadlineAfter(kStartWithin), 10ms);
  if (!listening || !daemon_->running()) fail("pipewire did not come up");
  sessionManager_ = startProcess("wireplumber");
  pulseServer_ = startProcess("pipewire-pulse");

  auto allRunning = [&] { return daemon_->running() && sessionManager_->running() && pulseServer_->running(); };
  bool ready = pollUntil(
      [&] {
        if (!allRunning()) return true;  // reported below
        try {
          const auto sinks = sinkNames();
          const auto sources = sourceNames();
          for (const auto& sink : options_.sinks)
            if (!contains(sinks, sink.name)) return false;
          for (const auto& source : options_.sources)
            if (!contains(sources, source.name)) return false;
          // The session manager has made its choice once the defaults show.
          if (!options_.sinks.empty() && defaultSinkName() != options_.sinks.front().name) return false;
          if (!options_.sources.empty() && defaultSourceName() != options_.sources.front().name) return false;
          return true;
        } catch (const std::runtime_error&) {
          return false;
        }
      },
      deadlineAfter(kStartWithin), 50ms);
  if (!ready || !allRunning()) fail("the PipeWire sound server did not become ready");
}

void PipeWire::fail(const std::string& what) {
  std::string exits;
  for (const auto* process : {&daemon_, &sessionManager_, &pulseServer_}) {
    if (*process && !(*process)->running()) {
      (*process)->waitForStderrEnd(deadlineAfter(1s));
      exits += (*process)->program() + " exited: " + (*process)->exitStatus()->describe() + "\n";
    }
  }
  throw std::runtime_error(what + "\n" + exits + logText());
}

std::string PipeWire::logText() const {
  std::string text;
  for (const auto* process : {&daemon_, &sessionManager_, &pulseServer_}) {
    if (*process) text += "--- " + (*process)->program() + " log ---\n" + (*process)->stderrText();
  }
  return text;
}

std::string PipeWire::serverAddress() const { return "unix:" + (runtimeDir_ / "pulse" / "native").string(); }

std::map<std::string, std::optional<std::string>> PipeWire::clientEnvironment() const {
  return {
      {"PULSE_SERVER", serverAddress()},
      {"PULSE_RUNTIME_PATH", (runtimeDir_ / "pulse").string()},
      {"PULSE_CLIENTCONFIG", clientConfig_.string()},
  };
}

std::map<std::string, std::optional<std::string>> PipeWire::toolEnvironment() const {
  auto env = daemonEnv_;
  for (const auto& [name, value] : clientEnvironment()) env[name] = value;
  return env;
}

std::string PipeWire::pwCli(const std::vector<std::string>& arguments, Clock::duration timeout) const {
  std::vector<std::string> argv = {"pw-cli"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runTool(argv, timeout);
}

int PipeWire::plugNode(const std::string& nodeProperties, const std::string& name, bool sink) {
  const std::string output = pwCli({"create-node", "adapter", "{ " + nodeProperties + " object.linger = true }"});
  auto listed = [&] { return contains(sink ? sinkNames() : sourceNames(), name); };
  if (!pollUntil(listed, deadlineAfter(kListedWithin), 20ms)) {
    throw std::runtime_error("pw-cli create-node: " + name + " not listed: " + output + "\n" + logText());
  }
  plugged_[nextHandle_] = name;
  return nextHandle_++;
}

int PipeWire::plugSink(const PulseDevice& sink) {
  return plugNode(nullNodeProperties(sink, true, 0), sink.name, true);
}

int PipeWire::plugSource(const PulseDevice& source) {
  return plugNode(nullNodeProperties(source, false, 0), source.name, false);
}

int PipeWire::plugToneSource(const PulseDevice& source) {
  return plugNode(toneNodeProperties(source), source.name, false);
}

void PipeWire::unplug(int handle) {
  auto node = plugged_.find(handle);
  if (node == plugged_.end()) throw std::invalid_argument("no device plugged as " + std::to_string(handle));
  const std::string name = node->second;
  const std::string output = pwCli({"destroy", name});
  // A sink takes its monitor source along; waiting for the sources covers both.
  auto gone = [&] { return !contains(sinkNames(), name) && !contains(sourceNames(), name); };
  if (!pollUntil(gone, deadlineAfter(kListedWithin), 20ms)) {
    throw std::runtime_error("pw-cli destroy: " + name + " still listed: " + output);
  }
  plugged_.erase(node);
}

ExitStatus PipeWire::stop() {
  if (frozen_ && pulseServer_->running()) signal(SIGCONT);
  frozen_ = false;
  // Clients of the daemon first, so none of them sees it go and logs why.
  ExitStatus pulseStatus = pulseServer_->running() ? pulseServer_->stop(5s) : *pulseServer_->exitStatus();
  if (sessionManager_->running()) sessionManager_->stop(5s);
  if (daemon_->running()) daemon_->stop(5s);
  return pulseStatus;
}

void PipeWire::restart() {
  stop();
  launch();
}

void PipeWire::signalDaemon(int number) {
  if (::kill(daemon_->pid(), number) != 0) throw std::runtime_error("kill(pipewire) failed");
}

void PipeWire::signal(int number) {
  if (::kill(pulseServer_->pid(), number) != 0) throw std::runtime_error("kill(pipewire-pulse) failed");
  if (number == SIGSTOP) frozen_ = true;
  if (number == SIGCONT) frozen_ = false;
}

}  // namespace tavirel::test
