#include "HelperClient.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "SoundServer.h"

#ifndef TAVIREL_HELPER_BIN_DEFAULT
#error "TAVIREL_HELPER_BIN_DEFAULT must be defined by the build"
#endif

namespace tavirel::test {
namespace {

constexpr std::size_t kStderrTailBytes = 16 * 1024;

std::string tail(const std::string& text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  return "[...]" + text.substr(text.size() - bytes);
}

}  // namespace

std::filesystem::path helperBinaryPath() {
  const char* fromEnv = std::getenv("TAVIREL_HELPER_BIN");
  if (fromEnv != nullptr && *fromEnv != '\0') return fromEnv;
  return TAVIREL_HELPER_BIN_DEFAULT;
}

HelperClient::HelperClient(HelperOptions options) : home_("tavirel-home") {
  ProcessOptions process;
  process.argv.push_back(options.binary.string());
  process.argv.insert(process.argv.end(), options.arguments.begin(), options.arguments.end());
  process.workingDirectory =
      options.workingDirectory.empty() ? home_.path() : options.workingDirectory;

  const auto& home = home_.path();
  process.env["HOME"] = home.string();
  process.env["XDG_CONFIG_HOME"] = home_.makeDir(".config").string();
  process.env["XDG_DATA_HOME"] = home_.makeDir(".local/share").string();
  process.env["XDG_STATE_HOME"] = home_.makeDir(".local/state").string();
  process.env["XDG_CACHE_HOME"] = home_.makeDir(".cache").string();
  process.env["XDG_RUNTIME_DIR"] = home_.makeDir("run").string();
  // A PulseAudio client without a reachable daemon may otherwise start one.
  home_.makeDir(".config/pulse");
  home_.writeFile(".config/pulse/client.conf", "autospawn = no\n");
  for (const char* name : {"PULSE_SERVER", "PULSE_RUNTIME_PATH", "PULSE_COOKIE",
                           "PULSE_CLIENTCONFIG", "PULSE_SINK", "PULSE_SOURCE"}) {
    process.env[name] = std::nullopt;
  }
  if (options.pulse != nullptr) {
    for (const auto& [name, value] : options.pulse->clientEnvironment()) process.env[name] = value;
  }
  for (const auto& [name, value] : options.env) process.env[name] = value;
  process.stderrFile = options.stderrFile;
  transcriptLimit_ = options.transcriptLines;

  process_ = std::make_unique<ChildProcess>(std::move(process));
}

HelperClient::~HelperClient() {
  // Every password a test sends must stay out of everything the helper
  // writes: its responses and its stderr (traces and the engine's log).
  if (secrets_.empty() || !process_) return;
  const std::string err = process_->stderrText();
  for (const auto& secret : secrets_) {
    bool leaked = err.find(secret) != std::string::npos;
    for (const auto& line : transcript_)
      if (line.rfind("< ", 0) == 0 && line.find(secret) != std::string::npos) leaked = true;
    if (leaked) ADD_FAILURE() << "a password sent to the helper appears in its output: " << secret;
  }
}

nlohmann::json HelperClient::request(std::string_view command, const nlohmann::json& payload,
                                     std::string requestId, Clock::duration timeout) {
  if (requestId.empty()) requestId = "req-" + std::to_string(nextRequestNumber_++);
  nlohmann::json line = {{"requestId", requestId}, {"command", command}};
  if (!payload.is_null()) line["payload"] = payload;
  return requestRaw(line.dump(), requestId, timeout);
}

nlohmann::json HelperClient::requestRaw(std::string_view line, std::string_view expectedRequestId,
                                        Clock::duration timeout) {
  auto deadline = deadlineAfter(timeout);
  rememberSecrets(line);
  note("> " + std::string(line));
  if (!process_->writeLine(line)) fail("helper no longer reads its stdin");
  return readResponse(expectedRequestId, deadline);
}

void HelperClient::rememberSecrets(std::string_view line) {
  const auto request = nlohmann::json::parse(line, nullptr, false);
  if (!request.is_object() || request.value("command", "") != "REGISTER") return;
  const auto payload = request.find("payload");
  if (payload == request.end() || !payload->is_object()) return;
  const auto password = payload->find("sipPassword");
  // Short or common words would match the engine's own log by accident
  // ("secret" is part of its ZRTP messages); the suite's passwords are longer.
  if (password != payload->end() && password->is_string() && password->get_ref<const std::string&>().size() >= 8)
    secrets_.insert(password->get<std::string>());
}

nlohmann::json HelperClient::readResponse(std::string_view expectedRequestId, Deadline deadline) {
  auto line = process_->readLine(deadline);
  if (!line) {
    if (process_->stdoutClosed()) {
      auto status = process_->waitExit(deadlineAfter(std::chrono::seconds(2)));
      // Its last stderr lines may still be on their way to the reader.
      (void)process_->waitForStderrEnd(deadlineAfter(std::chrono::seconds(2)));
      fail("helper closed stdout without a response" +
           (status ? " (" + status->describe() + ")" : std::string()));
    }
    fail("no response line before the deadline");
  }
  note("< " + *line);
  nlohmann::json response = nlohmann::json::parse(*line, nullptr, /*allow_exceptions=*/false);
  if (!response.is_object()) fail("stdout line is not a JSON object: " + *line);
  auto id = response.find("requestId");
  if (id == response.end() || !id->is_string()) fail("response without string requestId: " + *line);
  if (id->get<std::string>() != expectedRequestId) {
    fail("response for requestId \"" + id->get<std::string>() + "\", expected \"" +
         std::string(expectedRequestId) + "\": " + *line);
  }
  auto success = response.find("success");
  if (success == response.end() || !success->is_boolean()) {
    fail("response without boolean success: " + *line);
  }
  return response;
}

nlohmann::json HelperClient::query(std::string_view command, Clock::duration timeout) {
  auto response = request(command, nullptr, {}, timeout);
  if (!response["success"].get<bool>()) {
    fail(std::string(command) + " failed: " + response.dump());
  }
  return response.value("payload", nlohmann::json::object());
}

HelperClient::WaitResult HelperClient::waitFor(
    std::string_view command, const std::function<bool(const nlohmann::json&)>& accept,
    Clock::duration timeout, Clock::duration interval) {
  WaitResult result;
  auto deadline = deadlineAfter(timeout);
  result.satisfied = pollUntil(
      [&] {
        result.lastResponse = request(command);
        return accept(result.lastResponse);
      },
      deadline, interval);
  return result;
}

HelperClient::WaitResult HelperClient::waitForState(std::string_view command,
                                                    std::string_view state,
                                                    Clock::duration timeout) {
  return waitFor(
      command,
      [&](const nlohmann::json& response) {
        const auto& payload = response.value("payload", nlohmann::json::object());
        auto value = payload.find("state");
        return value != payload.end() && value->is_string() && value->get<std::string>() == state;
      },
      timeout);
}

std::optional<ExitStatus> HelperClient::closeAndWait(Clock::duration timeout) {
  process_->closeStdin();
  return process_->waitExit(deadlineAfter(timeout));
}

std::optional<std::string> HelperClient::readStrayLine(Clock::duration timeout) {
  auto line = process_->readLine(deadlineAfter(timeout));
  if (line) note("< " + *line);
  return line;
}

void HelperClient::note(std::string line) {
  transcript_.push_back(std::move(line));
  while (transcriptLimit_ != 0 && transcript_.size() > transcriptLimit_) transcript_.pop_front();
}

std::string HelperClient::transcript() const {
  std::string text;
  for (const auto& line : transcript_) text += line + "\n";
  return text;
}

void HelperClient::fail(const std::string& what) const {
  std::ostringstream message;
  message << what << "\n--- exchanged with the helper (pid " << process_->pid() << ") ---\n"
          << transcript() << "--- helper stderr ---\n"
          << tail(process_->stderrText(), kStderrTailBytes);
  throw ProtocolViolation(message.str());
}

}  // namespace tavirel::test
