#include "session.h"

#include <algorithm>
#include <thread>

#include "line_input.h"
#include "presenter.h"
#include "redaction.h"

namespace tavirel::console {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

// The helper answers REGISTER when the registrar has, at most 15 s later.
constexpr milliseconds kRegisterTimeout{20'000};
constexpr milliseconds kRequestTimeout{10'000};
constexpr milliseconds kPollTimeout{5'000};
constexpr auto kBusyAfterCommand = std::chrono::seconds(3);

std::string requestIdOf(const std::string& line) {
  const json value = json::parse(line, nullptr, false);
  if (!value.is_object()) return {};
  const json& id = value.value("requestId", json());
  return id.is_string() ? id.get<std::string>() : std::string();
}

std::string commandOf(const std::string& line) {
  const json value = json::parse(line, nullptr, false);
  const json& command = value.is_object() ? value.value("command", json()) : json();
  return command.is_string() ? command.get<std::string>() : std::string();
}

// Keys in the order a person reads them: id, command, payload.
std::string requestLine(const HelperRequest& request, const std::string& id) {
  nlohmann::ordered_json line = {{"requestId", id}, {"command", request.command}};
  if (!request.payload.is_null()) line["payload"] = request.payload;
  return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

Session::Session(HelperLink& helper, Printer& printer, SessionOptions options)
    : helper_(helper), printer_(printer), options_(options) {}

Session::Exchange Session::exchange(const std::string& line, const std::string& expectedId, bool background,
                                    milliseconds timeout, std::string& answer) {
  // A command's request is shown before the wait for its answer, so a
  // request left unanswered is on screen too.
  if (options_.raw && !background) printer_.line("> " + redactRequestLine(line));
  if (gone_ || !helper_.send(line)) {
    gone_ = true;
    return Exchange::gone;
  }
  const auto deadline = Clock::now() + timeout;
  while (true) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    const auto read = helper_.readLine(answer, std::max(left, milliseconds(0)));
    if (read == HelperLink::Read::closed) gone_ = true;
    if (read == HelperLink::Read::closed) return Exchange::gone;
    if (read == HelperLink::Read::timeout) return Exchange::noAnswer;
    const std::string id = requestIdOf(answer);
    // An answer with another id is a late one to a request given up on.
    if (id == expectedId || (id.empty() && !background)) break;
    if (options_.raw) printer_.line("< (late) " + answer);
  }
  if (hideEcho_ && !background) answer = hideEchoedInput(answer);
  if (options_.raw && !background) printer_.line("< " + answer);
  if (options_.raw && background && lastPollAnswer_[expectedId] != answer) {
    printer_.line("> " + line);
    printer_.line("< " + answer);
    lastPollAnswer_[expectedId] = answer;
  }
  return Exchange::answered;
}

bool Session::queryOne(const char* command, const char* id, json& payload) {
  std::string answer;
  const std::string line = requestLine({command}, id);
  const Exchange result = exchange(line, id, true, kPollTimeout, answer);
  if (result == Exchange::noAnswer) printer_.line(std::string("error: no answer to ") + command + " within 5 s");
  if (result != Exchange::answered) return false;
  const json value = json::parse(answer, nullptr, false);
  payload = value.is_object() ? value.value("payload", json::object()) : json::object();
  return payload.is_object();
}

std::optional<StateSnapshot> Session::queryState() {
  json registration, call;
  if (!queryOne("GET_REGISTRATION_STATE", "poll-registration", registration) ||
      !queryOne("GET_CALL_STATE", "poll-call", call)) {
    return std::nullopt;
  }
  return snapshotOf(registration, call);
}

bool Session::poll() {
  if (auto now = queryState()) {
    for (const auto& line : tracker_.update(*now, Clock::now())) printer_.line(line);
  }
  return !gone_;
}

milliseconds Session::pollInterval() const {
  const std::string& call = tracker_.last().call;
  const bool settling = call == "outgoingInit" || call == "outgoingProgress" || call == "end";
  if (tracker_.timingCallSetUp() || settling || Clock::now() < busyUntil_) return options_.busyPoll;
  return options_.idlePoll;
}

// Sends the plan's requests in order, pacing them as the plan says; stops
// at the first that fails. False when the helper is gone.
bool Session::sendRequests(const Plan& plan, std::vector<std::string>& answers) {
  const bool raw = plan.style == AnswerStyle::raw;
  hideEcho_ = raw && !plan.keepInHistory;
  const std::size_t count = raw ? 1 : plan.requests.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) std::this_thread::sleep_for(plan.pace);
    const std::string id = raw ? requestIdOf(plan.rawLine) : "c" + std::to_string(nextRequest_++);
    const std::string line = raw ? plan.rawLine : requestLine(plan.requests[i], id);
    const bool registering = (raw ? commandOf(line) : plan.requests[i].command) == "REGISTER";
    if (!raw && plan.requests[i].command == "MAKE_CALL") tracker_.callPlaced(Clock::now());
    std::string answer;
    const Exchange result = exchange(line, id, false, registering ? kRegisterTimeout : kRequestTimeout, answer);
    if (result == Exchange::gone) return false;
    if (result == Exchange::noAnswer) {
      const auto seconds = (registering ? kRegisterTimeout : kRequestTimeout).count() / 1000;
      printer_.line("error: no answer from the helper within " + std::to_string(seconds) + " s");
      ++failures_;
      return true;
    }
    answers.push_back(answer);
    if (!raw && !answerSucceeded(answer)) break;
  }
  return true;
}

void Session::learnFrom(const Plan& plan, const std::vector<std::string>& answers) {
  if (answers.empty()) return;
  const bool allSucceeded = answers.size() == plan.requests.size() &&
                            std::all_of(answers.begin(), answers.end(), answerSucceeded);
  if (plan.style != AnswerStyle::raw && !allSucceeded) ++failures_;
  const json first = json::parse(answers.front(), nullptr, false);
  const json payload = first.is_object() ? first.value("payload", json::object()) : json::object();
  if (plan.style == AnswerStyle::registration && allSucceeded) {
    context_.server = plan.requests.front().payload.value("server", "");
  } else if ((plan.style == AnswerStyle::outputs || plan.style == AnswerStyle::inputs) && allSucceeded) {
    auto devices = parseDeviceList(textField(payload, "devicesJson")).value_or(std::vector<Device>{});
    (plan.style == AnswerStyle::outputs ? context_.outputs : context_.inputs) = std::move(devices);
  }
}

bool Session::wait(const Plan& plan) {
  const auto deadline = Clock::now() + plan.waitTimeout;
  auto current = [&] {
    const auto& last = tracker_.last();
    return plan.waitSubject == "call" ? last.call : last.registration;
  };
  while (true) {
    if (!poll()) return false;
    if (current() == plan.waitState) {
      printer_.line("ok: " + plan.waitSubject + " " + plan.waitState);
      return true;
    }
    if (Clock::now() >= deadline || stopRequested()) break;
    std::this_thread::sleep_for(options_.busyPoll);
  }
  printer_.line("error: " + plan.waitSubject + " is " + current() + ", not " + plan.waitState + ", after " +
                std::to_string(plan.waitTimeout.count() / 1000) + " s");
  ++failures_;
  return true;
}

bool Session::execute(const Plan& plan) {
  switch (plan.kind) {
    case Plan::Kind::nothing:
    case Plan::Kind::quit:
      return !gone_;
    case Plan::Kind::help:
      for (const auto& line : helpLines()) printer_.line(line);
      return !gone_;
    case Plan::Kind::fail:
      printer_.line("error: " + plan.message);
      ++failures_;
      return !gone_;
    case Plan::Kind::wait:
      return wait(plan);
    case Plan::Kind::send:
      break;
  }
  std::vector<std::string> answers;
  const bool alive = sendRequests(plan, answers);
  // With --raw a raw command's answer is on screen already.
  if (!(options_.raw && plan.style == AnswerStyle::raw)) {
    for (const auto& line : presentAnswers(plan, answers)) printer_.line(line);
  }
  learnFrom(plan, answers);
  busyUntil_ = Clock::now() + kBusyAfterCommand;
  return alive && poll();
}

}  // namespace tavirel::console
