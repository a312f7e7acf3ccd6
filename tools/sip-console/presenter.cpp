#include "presenter.h"

#include <algorithm>

#include "devices.h"

namespace tavirel::console {

using nlohmann::json;

std::string textField(const json& object, const char* key) {
  if (!object.is_object()) return {};
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

StateSnapshot snapshotOf(const json& registrationPayload, const json& callPayload) {
  StateSnapshot now;
  now.registration = textField(registrationPayload, "state");
  now.call = textField(callPayload, "state");
  now.remote = textField(callPayload, "remoteAddress");
  now.callLog = textField(callPayload, "callLogStatus");
  return now;
}

namespace {

json parsed(const std::string& answer) {
  json value = json::parse(answer, nullptr, false);
  return value.is_object() ? value : json();
}

std::string payloadText(const json& answer, const char* key) {
  if (!answer.contains("payload") || !answer["payload"].is_object()) return {};
  const json& value = answer["payload"].value(key, json());
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
  return {};
}

// "error: <text>" for a failed answer, or for one the console cannot read.
std::string errorLine(const std::string& answer) {
  const json value = parsed(answer);
  if (value.is_null()) return "error: the helper answered something that is not a JSON object: " + answer;
  const json& error = value.value("error", json());
  return "error: " + (error.is_string() ? error.get<std::string>() : std::string("(the helper gave no reason)"));
}

std::vector<std::string> registration(const Plan& plan, const std::string& answer) {
  const json value = parsed(answer);
  const json& request = plan.requests.front().payload;
  const std::string who = request.value("sipAccount", "") + " at " + request.value("server", "");
  if (payloadText(value, "registered") == "true") return {"registered as " + who};
  if (value.contains("error")) return {errorLine(answer)};
  return {"not registered as " + who +
          ": the registrar refused the account or did not answer within 15 s"};
}

std::vector<std::string> deviceTable(const std::string& answer, const char* noun) {
  const auto devices = parseDeviceList(payloadText(parsed(answer), "devicesJson"));
  if (!devices) return {"error: the helper sent a device list the console cannot read: " + answer};
  return formatDeviceTable(*devices, noun);
}

std::vector<std::string> digits(const Plan& plan, const std::vector<std::string>& answers) {
  std::string sent;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    const std::string digit = plan.requests[i].payload.value("digit", "");
    if (!answerSucceeded(answers[i])) {
      return {(sent.empty() ? "" : "sent" + sent + "; ") + "digit " + digit + " " + errorLine(answers[i])};
    }
    sent += " " + digit;
  }
  return {"ok: sent" + sent};
}

std::vector<std::string> state(const std::vector<std::string>& answers) {
  if (answers.size() < 3) return {};
  const json call = parsed(answers[1]);
  std::string remote = payloadText(call, "remoteAddress");
  return {"registration " + payloadText(parsed(answers[0]), "state") + "; call " + payloadText(call, "state") +
          (remote.empty() ? "" : " " + remote) + " (callLog " + payloadText(call, "callLogStatus") + "); in call: " +
          (payloadText(parsed(answers[2]), "inCall") == "true" ? "yes" : "no")};
}

std::vector<std::string> security(const json& answer) {
  const std::string signalling = payloadText(answer, "signalling");
  if (signalling == "none") return {"no call"};
  std::string line = "signalling " + signalling + ", media " + payloadText(answer, "mediaEncryption") +
                     (payloadText(answer, "encrypted") == "true" ? " (encrypted)" : " (not encrypted)");
  if (const std::string token = payloadText(answer, "authenticationToken"); !token.empty())
    line += "; read to each other: " + token;
  return {line};
}

std::vector<std::string> single(const Plan& plan, const std::string& answer) {
  if (plan.style == AnswerStyle::raw) return {answer};
  if (plan.style == AnswerStyle::registration) return registration(plan, answer);
  if (!answerSucceeded(answer)) return {errorLine(answer)};
  switch (plan.style) {
    case AnswerStyle::initialize:
      return {"ok: engine started (SDK root " + payloadText(parsed(answer), "sdkRoot") + ")"};
    case AnswerStyle::outputs: return deviceTable(answer, "output devices");
    case AnswerStyle::inputs: return deviceTable(answer, "input devices");
    case AnswerStyle::conference: return {"ok: invited " + payloadText(parsed(answer), "invitedCount")};
    case AnswerStyle::security: return security(parsed(answer));
    default: return {"ok"};
  }
}

}  // namespace

bool answerSucceeded(const std::string& answer) {
  const json value = parsed(answer);
  return !value.is_null() && value.value("success", json()) == json(true);
}

std::vector<std::string> presentAnswers(const Plan& plan, const std::vector<std::string>& answers) {
  if (answers.empty()) return {};
  if (plan.style == AnswerStyle::digits) return digits(plan, answers);
  if (plan.style == AnswerStyle::state) {
    const auto failed = std::find_if(answers.begin(), answers.end(), [](const auto& a) { return !answerSucceeded(a); });
    return failed != answers.end() ? std::vector<std::string>{errorLine(*failed)} : state(answers);
  }
  return single(plan, answers.front());
}

std::vector<std::string> helpLines() {
  std::vector<std::string> lines = {"commands:"};
  std::size_t width = 0;
  for (const auto& info : commandTable()) {
    width = std::max(width, info.name.size() + 1 + info.arguments.size());
  }
  for (const auto& info : commandTable()) {
    std::string usage = std::string(info.name) + (info.arguments.empty() ? "" : " ") + std::string(info.arguments);
    usage.append(width + 2 - usage.size(), ' ');
    lines.push_back("  " + usage + std::string(info.summary));
  }
  lines.push_back("event lines start with '*'; the console polls the helper's state a few times a second");
  return lines;
}

}  // namespace tavirel::console
