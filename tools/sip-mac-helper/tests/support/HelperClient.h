// Drives one real helper process over its line protocol, as the desktop
// application does: one JSON request per line on stdin, one JSON response
// per line on stdout, diagnostics on stderr.
//
// The client is strict about stdout, because stdout belongs to the protocol
// alone: every line read must be a JSON object whose "requestId" is the one
// just sent (or "" for a request the helper could not decode). Anything else
// - a log line, a second response, a missing response - throws
// ProtocolViolation with the helper's stderr attached, which fails the test.
//
// Each helper gets a private HOME (and XDG directories) in a temp dir, so
// nothing from the machine's user or from another test leaks in. Given a
// sound server fixture, the helper is pointed at that server only; without
// one, the PulseAudio variables of the test's environment are removed.
#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ChildProcess.h"
#include "Deadline.h"
#include "TempDir.h"

namespace tavirel::test {

class SoundServer;

// The helper binary: $TAVIREL_HELPER_BIN when set, else the path the build
// puts it at.
std::filesystem::path helperBinaryPath();

// A line on the helper's stdout that breaks the protocol, or a response that
// did not come in time.
class ProtocolViolation : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct HelperOptions {
  std::filesystem::path binary = helperBinaryPath();
  // Sound server the helper talks to; must outlive the client.
  const SoundServer* pulse = nullptr;
  // Extra environment changes, applied last (std::nullopt removes).
  std::map<std::string, std::optional<std::string>> env;
  // Working directory; empty: the client's private HOME.
  std::filesystem::path workingDirectory;
  // Arguments after the program name (the helper takes none; for fakes).
  std::vector<std::string> arguments;
  // Write the helper's stderr to this file instead of keeping it in memory
  // (for long runs); stderrText() is then empty.
  std::optional<std::filesystem::path> stderrFile;
  // Keep only the last this many transcript lines (0: all), so a long run
  // holds a bounded history.
  std::size_t transcriptLines = 0;
};

class HelperClient {
 public:
  static constexpr std::chrono::seconds kDefaultTimeout{20};

  // Starts the helper. Throws when it cannot be started.
  explicit HelperClient(HelperOptions options = {});
  ~HelperClient();

  HelperClient(const HelperClient&) = delete;
  HelperClient& operator=(const HelperClient&) = delete;

  // Sends {"requestId", "command", "payload"} and returns the parsed
  // response. A null `payload` is left out of the request. An empty
  // `requestId` gets a fresh one ("req-1", "req-2", ...). Throws
  // ProtocolViolation when no valid response arrives within `timeout`.
  nlohmann::json request(std::string_view command, const nlohmann::json& payload = nullptr,
                         std::string requestId = {},
                         Clock::duration timeout = kDefaultTimeout);

  // Sends one raw line (LF added) and returns the parsed response, which
  // must carry `expectedRequestId`. For malformed requests.
  nlohmann::json requestRaw(std::string_view line, std::string_view expectedRequestId,
                            Clock::duration timeout = kDefaultTimeout);

  // The "payload" of a successful response to `command`; throws
  // ProtocolViolation when the response says success false.
  nlohmann::json query(std::string_view command, Clock::duration timeout = kDefaultTimeout);

  // Sends `command` (a state query) repeatedly until `accept` returns true
  // for its response, or `timeout` passes. Returns the last response either
  // way; check it with `accept` or print it in the failure message.
  struct WaitResult {
    bool satisfied = false;
    nlohmann::json lastResponse;
  };
  WaitResult waitFor(std::string_view command,
                     const std::function<bool(const nlohmann::json& response)>& accept,
                     Clock::duration timeout,
                     Clock::duration interval = std::chrono::milliseconds(100));
  // waitFor with a test on payload["state"] of the given query, for
  // "GET_CALL_STATE" and "GET_REGISTRATION_STATE".
  WaitResult waitForState(std::string_view command, std::string_view state,
                          Clock::duration timeout);

  // Ends the helper's input and waits for it to exit.
  std::optional<ExitStatus> closeAndWait(Clock::duration timeout = std::chrono::seconds(10));

  // Reads one more stdout line if one arrives within `timeout`; for checking
  // that the helper writes nothing unasked.
  std::optional<std::string> readStrayLine(Clock::duration timeout);

  std::string stderrText() const { return process_->stderrText(); }
  // Requests and response lines exchanged so far, prefixed "> " and "< ".
  std::string transcript() const;
  ChildProcess& process() { return *process_; }
  const std::filesystem::path& home() const { return home_.path(); }

 private:
  nlohmann::json readResponse(std::string_view expectedRequestId, Deadline deadline);
  // Adds one line to the transcript, dropping the oldest past the limit.
  void note(std::string line);
  // Notes the password of a REGISTER line; the destructor fails the running
  // test when the helper wrote one anywhere.
  void rememberSecrets(std::string_view line);
  [[noreturn]] void fail(const std::string& what) const;

  TempDir home_;
  std::unique_ptr<ChildProcess> process_;
  std::deque<std::string> transcript_;
  std::size_t transcriptLimit_ = 0;
  unsigned nextRequestNumber_ = 1;
  std::set<std::string> secrets_;
};

}  // namespace tavirel::test
