// The console's short commands, turned into what the console must do: the
// helper requests to send (with how to show their answers), a wait for a
// state, or something local (help, quit, a usage message). No terminal and
// no process here, so every decision can be checked on its own.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "devices.h"

namespace tavirel::console {

struct HelperRequest {
  std::string command;                       // wire name, e.g. "MAKE_CALL"
  nlohmann::json payload = nlohmann::json();  // null: no payload
};

// How the answers to a plan's requests are shown (presenter.h).
enum class AnswerStyle { plain, initialize, registration, outputs, inputs, conference, digits, state, security, raw };

struct Plan {
  enum class Kind { nothing, help, quit, fail, send, wait };
  Kind kind = Kind::nothing;
  std::string message;  // fail: what is wrong, for the person

  // send
  std::vector<HelperRequest> requests;
  std::string rawLine;  // style raw: the line to send as typed
  AnswerStyle style = AnswerStyle::plain;
  std::chrono::milliseconds pace{0};  // pause between requests, so the far end hears each digit
  bool needsPassword = false;         // register: ask for it, then fillPassword()

  // wait
  std::string waitSubject;  // "call" or "registration"
  std::string waitState;
  std::chrono::milliseconds waitTimeout{0};

  // Lines that could hold a password (one typed after `register`, a raw
  // REGISTER) stay out of the history.
  bool keepInHistory = true;
};

// What earlier answers tell the parser.
struct ParseContext {
  // host[:port] of the last successful registration: `call bob` then means
  // sip:bob@<server>.
  std::string server;
  std::vector<Device> outputs;  // the last output table shown, for `output 2`
  std::vector<Device> inputs;
};

// The time between two DTMF digits: the engine sends each digit as RTP
// events lasting about 100 ms, and a far end that gets the next one before
// the last has ended may merge them.
constexpr std::chrono::milliseconds kDigitPace{250};
constexpr std::chrono::seconds kDefaultWait{15};

Plan parseCommand(std::string_view line, const ParseContext& context);

// Puts the password into a register plan's request.
void fillPassword(Plan& plan, const std::string& password);

// A target as the helper needs it: a bare user (no "@", no ":") becomes
// sip:<user>@<server> when a server is known; anything else is kept.
std::string expandTarget(std::string_view target, std::string_view server);

// Words that complete the last word of `lineBeforeCursor`: command names
// for the first word, the fixed choices of `mute` and `wait` for the second.
std::vector<std::string> completions(std::string_view lineBeforeCursor);

struct CommandInfo {
  std::string_view name;
  std::string_view arguments;
  std::string_view summary;
};
const std::vector<CommandInfo>& commandTable();

}  // namespace tavirel::console
