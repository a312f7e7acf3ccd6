#include "SoundServer.h"

#include <nlohmann/json.hpp>

#include <sstream>
#include <stdexcept>

#include "PipeWire.h"
#include "PulseAudio.h"

namespace tavirel::test {
namespace {

std::vector<std::string> secondColumn(const std::string& table) {
  std::vector<std::string> names;
  std::istringstream lines(table);
  for (std::string line; std::getline(lines, line);) {
    auto first = line.find('\t');
    if (first == std::string::npos) continue;
    auto second = line.find('\t', first + 1);
    names.push_back(line.substr(first + 1, second == std::string::npos ? std::string::npos
                                                                        : second - first - 1));
  }
  return names;
}

std::string infoField(const std::string& info, const std::string& field) {
  std::istringstream lines(info);
  const std::string prefix = field + ": ";
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(prefix)) return line.substr(prefix.size());
  }
  return "";
}

}  // namespace

std::string_view nameOf(SoundServerKind kind) {
  switch (kind) {
    case SoundServerKind::pulseAudio:
      return "PulseAudio";
    case SoundServerKind::pipeWire:
      return "PipeWire";
  }
  return "?";
}

std::string SoundServer::runTool(const std::vector<std::string>& argv, Clock::duration timeout) const {
  ProcessOptions process;
  process.argv = argv;
  process.env = toolEnvironment();
  ChildProcess tool(std::move(process));
  tool.closeStdin();

  auto deadline = deadlineAfter(timeout);
  std::string output;
  while (auto line = tool.readLine(deadline)) output += *line + "\n";
  auto status = tool.waitExit(deadline);
  std::string command;
  for (const auto& argument : argv) command += (command.empty() ? "" : " ") + argument;
  if (!status) throw std::runtime_error(command + ": no exit before the deadline");
  if (!status->success()) {
    // Its last words may still be in the pipe when it has been reaped.
    tool.waitForStderrEnd(deadlineAfter(std::chrono::seconds(1)));
    throw std::runtime_error(command + ": " + status->describe() + ": " + tool.stderrText());
  }
  return output;
}

std::string SoundServer::pactl(const std::vector<std::string>& arguments, Clock::duration timeout) const {
  std::vector<std::string> argv = {"pactl"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runTool(argv, timeout);
}

std::vector<std::string> SoundServer::sinkNames() const { return secondColumn(pactl({"list", "short", "sinks"})); }

std::vector<std::string> SoundServer::sourceNames() const {
  return secondColumn(pactl({"list", "short", "sources"}));
}

std::string SoundServer::defaultSinkName() const { return infoField(pactl({"info"}), "Default Sink"); }

std::string SoundServer::defaultSourceName() const { return infoField(pactl({"info"}), "Default Source"); }

bool SoundServer::hasAudioStreamsOf(pid_t pid) const {
  auto ownedBy = [&](const char* kind) {
    for (const nlohmann::json& stream : nlohmann::json::parse(pactl({"-f", "json", "list", kind}))) {
      if (stream.value("properties", nlohmann::json::object()).value("application.process.id", "") ==
          std::to_string(pid))
        return true;
    }
    return false;
  };
  return ownedBy("sink-inputs") && ownedBy("source-outputs");
}

std::unique_ptr<SoundServer> startSoundServer(SoundServerKind kind, PulseOptions options) {
  switch (kind) {
    case SoundServerKind::pulseAudio:
      return std::make_unique<PulseAudio>(std::move(options));
    case SoundServerKind::pipeWire:
      return std::make_unique<PipeWire>(std::move(options));
  }
  throw std::invalid_argument("unknown sound server kind");
}

}  // namespace tavirel::test
