#include "command_parser.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <functional>
#include <map>

#include "redaction.h"

namespace tavirel::console {
namespace {

using nlohmann::json;

constexpr std::string_view kBlank = " \t\r\n";
constexpr std::string_view kDigits = "0123456789*#ABCDabcd";
constexpr int kLongestWaitSeconds = 600;

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> result;
  for (std::size_t at = text.find_first_not_of(kBlank); at != std::string_view::npos;
       at = text.find_first_not_of(kBlank, at)) {
    const auto end = text.find_first_of(kBlank, at);
    result.emplace_back(text.substr(at, end == std::string_view::npos ? end : end - at));
    at = end;
  }
  return result;
}

Plan failure(std::string message) {
  Plan plan;
  plan.kind = Plan::Kind::fail;
  plan.message = std::move(message);
  return plan;
}

Plan usage(std::string_view name) {
  for (const auto& info : commandTable()) {
    if (info.name == name) return failure("usage: " + std::string(name) + " " + std::string(info.arguments));
  }
  return failure("usage: " + std::string(name));
}

Plan sending(std::string command, json payload = json(), AnswerStyle style = AnswerStyle::plain) {
  Plan plan;
  plan.kind = Plan::Kind::send;
  plan.style = style;
  plan.requests.push_back({std::move(command), std::move(payload)});
  return plan;
}

// What follows the command word; `args` is never empty for the commands
// that need one (checked before).
struct Input {
  std::string_view args;            // the rest of the line, trimmed
  std::vector<std::string> words;   // the rest, split at blanks
  const ParseContext& context;
};

using Handler = std::function<Plan(const Input&)>;

// What the words after USER SERVER ask for: `tls`, then one media
// encryption. False for anything else (a password typed on the line).
bool addSecurityWords(const std::vector<std::string>& words, json& payload) {
  for (std::size_t i = 2; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "tls" && i == 2) {
      payload["transport"] = "tls";
    } else if ((word == "srtp" || word == "dtls-srtp" || word == "zrtp") && i + 1 == words.size()) {
      payload["mediaEncryption"] = word;
    } else {
      return false;
    }
  }
  return true;
}

Plan parseRegister(const Input& in) {
  if (in.words.size() < 2) return usage("register");
  json payload = {{"sipAccount", in.words[0]}, {"sipPassword", ""}, {"server", in.words[1]}};
  if (!addSecurityWords(in.words, payload)) {
    Plan plan = failure("the password is asked for after `register USER SERVER [tls] [srtp|dtls-srtp|zrtp]`; "
                        "this line is not kept in the history");
    plan.keepInHistory = false;
    return plan;
  }
  Plan plan = sending("REGISTER", std::move(payload), AnswerStyle::registration);
  plan.needsPassword = true;
  return plan;
}

Plan parseMute(const Input& in) {
  if (in.words.size() != 1 || (in.words[0] != "on" && in.words[0] != "off")) return usage("mute");
  return sending("SET_MIC_MUTED", {{"muted", in.words[0] == "on"}});
}

Plan parseDtmf(const Input& in) {
  if (in.words.size() != 1) return usage("dtmf");
  const std::string& digits = in.words[0];
  if (auto bad = digits.find_first_not_of(kDigits); bad != std::string::npos) {
    return failure("not a DTMF digit: '" + digits.substr(bad, 1) + "' (digits are 0-9 * # A-D)");
  }
  Plan plan;
  plan.kind = Plan::Kind::send;
  plan.style = AnswerStyle::digits;
  plan.pace = kDigitPace;
  for (char digit : digits) plan.requests.push_back({"SEND_DTMF", {{"digit", std::string(1, digit)}}});
  return plan;
}

Plan parseConference(const Input& in) {
  std::string csv;
  std::string_view rest = in.args;
  while (true) {
    const auto comma = rest.find(',');
    const auto piece = trimmed(rest.substr(0, comma));
    if (!piece.empty()) csv += (csv.empty() ? "" : ",") + expandTarget(piece, in.context.server);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (csv.empty()) return usage("conf");
  return sending("INVITE_CONFERENCE", {{"targetsCsv", csv}}, AnswerStyle::conference);
}

Plan parseWait(const Input& in) {
  if (in.words.size() < 2 || in.words.size() > 3 || (in.words[0] != "call" && in.words[0] != "registration")) {
    return usage("wait");
  }
  int seconds = static_cast<int>(kDefaultWait.count());
  if (in.words.size() == 3) {
    const std::string& text = in.words[2];
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size() || seconds < 1 || seconds > kLongestWaitSeconds) {
      return failure("wait: SECONDS must be a whole number from 1 to " + std::to_string(kLongestWaitSeconds));
    }
  }
  Plan plan;
  plan.kind = Plan::Kind::wait;
  plan.waitSubject = in.words[0];
  plan.waitState = in.words[1];
  plan.waitTimeout = std::chrono::seconds(seconds);
  return plan;
}

Plan parseRaw(const Input& in) {
  Plan plan;
  plan.kind = Plan::Kind::send;
  plan.style = AnswerStyle::raw;
  plan.rawLine = std::string(in.args);
  plan.keepInHistory = !mayHoldPassword(in.args);
  return plan;
}

Plan withoutArguments(std::string_view name, const Input& in, Plan plan) {
  return in.words.empty() ? plan : usage(name);
}

// Commands that need the rest of the line, and what they make of it.
const std::map<std::string, Handler, std::less<>>& argumentHandlers() {
  static const std::map<std::string, Handler, std::less<>> handlers = {
      {"register", parseRegister},
      {"call", [](const Input& in) { return sending("MAKE_CALL", {{"target", expandTarget(in.args, in.context.server)}}); }},
      {"mute", parseMute},
      {"dtmf", parseDtmf},
      {"conf", parseConference},
      {"kick", [](const Input& in) {
         return sending("REMOVE_CONFERENCE_PARTICIPANT", {{"target", expandTarget(in.args, in.context.server)}});
       }},
      {"output", [](const Input& in) {
         return sending("SET_AUDIO_DEVICE", {{"deviceId", resolveDeviceChoice(in.args, in.context.outputs)}});
       }},
      {"input", [](const Input& in) {
         return sending("SET_AUDIO_INPUT_DEVICE", {{"deviceId", resolveDeviceChoice(in.args, in.context.inputs)}});
       }},
      {"wait", parseWait},
      {"raw", parseRaw},
  };
  return handlers;
}

Plan stateQueries() {
  Plan plan = sending("GET_REGISTRATION_STATE", json(), AnswerStyle::state);
  plan.requests.push_back({"GET_CALL_STATE"});
  plan.requests.push_back({"IS_IN_CALL"});
  return plan;
}

// Commands that take nothing after their name.
std::optional<Plan> simplePlan(std::string_view name) {
  Plan plan;
  if (name == "help" || name == "?") plan.kind = Plan::Kind::help;
  else if (name == "quit" || name == "exit") plan.kind = Plan::Kind::quit;
  else if (name == "init") plan = sending("INITIALIZE", json(), AnswerStyle::initialize);
  else if (name == "unregister") plan = sending("UNREGISTER");
  else if (name == "answer") plan = sending("ANSWER_CALL");
  else if (name == "hangup") plan = sending("HANGUP_CALL");
  else if (name == "outputs") plan = sending("GET_AUDIO_DEVICES", json(), AnswerStyle::outputs);
  else if (name == "inputs") plan = sending("GET_AUDIO_INPUT_DEVICES", json(), AnswerStyle::inputs);
  else if (name == "state") plan = stateQueries();
  else if (name == "security") plan = sending("GET_CALL_SECURITY", json(), AnswerStyle::security);
  else return std::nullopt;
  return plan;
}

}  // namespace

const std::vector<CommandInfo>& commandTable() {
  static const std::vector<CommandInfo> table = {
      {"init", "", "start the SIP engine (needed before the rest)"},
      {"register", "USER SERVER [tls] [srtp|dtls-srtp|zrtp]",
       "register USER at SERVER (host[:port]), over TLS and with encrypted calls if asked; asks for the password"},
      {"unregister", "", "unregister the account"},
      {"call", "TARGET", "call TARGET (a SIP address, or a user at the registrar)"},
      {"answer", "", "answer the incoming call"},
      {"hangup", "", "end the current call"},
      {"mute", "on|off", "mute or unmute the microphone"},
      {"dtmf", "DIGITS", "send DTMF digits (0-9 * # A-D), one every 250 ms"},
      {"conf", "TARGET[,TARGET...]", "make the call a conference and invite TARGETs"},
      {"kick", "TARGET", "remove TARGET from the conference"},
      {"outputs", "", "list output devices (* marks the one in use)"},
      {"inputs", "", "list input devices (* marks the one in use)"},
      {"output", "ID|ROW", "use this output device (an id, or a row of `outputs`)"},
      {"input", "ID|ROW", "use this input device (an id, or a row of `inputs`)"},
      {"state", "", "show registration and call state"},
      {"security", "", "show how the current call is protected"},
      {"wait", "call|registration STATE [SECONDS]", "wait until the state is STATE (default 15 s)"},
      {"raw", "{json}", "send one JSON request as it is and show the answer"},
      {"help", "", "show this list"},
      {"quit", "", "stop the helper and leave"},
  };
  return table;
}

Plan parseCommand(std::string_view line, const ParseContext& context) {
  const std::string_view text = trimmed(line);
  if (text.empty() || text.front() == '#') return {};  // blank, or a comment in a script
  const auto nameEnd = std::min(text.find_first_of(kBlank), text.size());
  std::string name(text.substr(0, nameEnd));
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  const std::string_view args = trimmed(text.substr(nameEnd));
  const Input input{args, words(args), context};

  if (auto plan = simplePlan(name)) return withoutArguments(name, input, std::move(*plan));
  const auto& handlers = argumentHandlers();
  if (auto it = handlers.find(name); it != handlers.end()) {
    return args.empty() ? usage(name) : it->second(input);
  }
  return failure("unknown command '" + name + "' (type help)");
}

void fillPassword(Plan& plan, const std::string& password) {
  if (!plan.requests.empty()) plan.requests.front().payload["sipPassword"] = password;
  plan.needsPassword = false;
}

std::string expandTarget(std::string_view target, std::string_view server) {
  if (server.empty() || target.find_first_of("@:") != std::string_view::npos) return std::string(target);
  return "sip:" + std::string(target) + "@" + std::string(server);
}

std::vector<std::string> completions(std::string_view lineBeforeCursor) {
  const auto before = words(lineBeforeCursor);
  const bool startsWord = lineBeforeCursor.empty() || kBlank.find(lineBeforeCursor.back()) != std::string_view::npos;
  const std::size_t index = startsWord ? before.size() : before.size() - 1;
  const std::string prefix = startsWord ? std::string() : before.back();
  std::vector<std::string> choices;
  if (index == 0) {
    for (const auto& info : commandTable()) choices.emplace_back(info.name);
  } else if (index == 1 && before[0] == "mute") {
    choices = {"on", "off"};
  } else if (index == 1 && before[0] == "wait") {
    choices = {"call", "registration"};
  }
  std::erase_if(choices, [&](const std::string& word) { return !word.starts_with(prefix); });
  return choices;
}

}  // namespace tavirel::console
