// One console session with one helper: runs the plans of typed commands
// (requests, their answers shown for people, waits), and polls the state
// queries between them, printing each change as an event line.
#pragma once

#include <chrono>
#include <map>
#include <string>

#include "command_parser.h"
#include "events.h"
#include "helper_link.h"
#include "output.h"

namespace tavirel::console {

struct SessionOptions {
  bool raw = false;  // also show the JSON lines (background polls only when their answer changed)
  std::chrono::milliseconds idlePoll{250};
  // While a call is being set up, or just after a command, changes come
  // fast; polling often then times the set-up to within a few ms.
  std::chrono::milliseconds busyPoll{10};
};

class Session {
 public:
  Session(HelperLink& helper, Printer& printer, SessionOptions options);

  // Runs a plan that is not `quit`. False once the helper is gone.
  bool execute(const Plan& plan);
  // One poll of the state queries; prints the changes. False once the
  // helper is gone.
  bool poll();
  std::chrono::milliseconds pollInterval() const;

  const ParseContext& context() const { return context_; }
  bool helperGone() const { return gone_; }
  // Commands that failed: an error answer, no answer, a wait that timed out.
  unsigned failures() const { return failures_; }

 private:
  enum class Exchange { answered, noAnswer, gone };
  Exchange exchange(const std::string& line, const std::string& expectedId, bool background,
                    std::chrono::milliseconds timeout, std::string& answer);
  bool sendRequests(const Plan& plan, std::vector<std::string>& answers);
  void learnFrom(const Plan& plan, const std::vector<std::string>& answers);
  bool wait(const Plan& plan);
  std::optional<StateSnapshot> queryState();
  bool queryOne(const char* command, const char* id, nlohmann::json& payload);

  HelperLink& helper_;
  Printer& printer_;
  SessionOptions options_;
  EventTracker tracker_;
  ParseContext context_;
  std::map<std::string, std::string> lastPollAnswer_;  // by poll request id, for --raw
  unsigned nextRequest_ = 1;
  unsigned failures_ = 0;
  bool gone_ = false;
  bool hideEcho_ = false;  // the command's line may hold a password: hide what answers quote of it
  Clock::time_point busyUntil_{};
};

}  // namespace tavirel::console
