// `handle`: turns one decoded request into its response.
//
// Every command runs one frame over its row of the command table
// (bridge/commands.h) and its work from here: engine check, payload checks
// in key order, one synchronous hop onto the engine queue for the work,
// outcome to response. Work only ever sees checked values and reports a
// failure as its error text. A command whose frame really differs after the
// checks (INITIALIZE's SDK check, REGISTER's wait, INVITE_CONFERENCE's target
// list, GET_CALL_STATE's three values) has a step of its own instead.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "bridge/commands.h"
#include "bridge/helper_state.h"
#include "bridge/protocol.h"
#include "bridge/work_result.h"

namespace tavirel::bridge {

// The checked payload values, by the index of their key in the row.
class Arguments {
 public:
  // A key whose rule is a text rule; it has passed, so the text is there.
  const std::string& text(std::size_t key) const { return *texts_[key]; }
  // A KeyRule::flag key.
  bool flag(std::size_t key) const { return flags_[key]; }
  // A KeyRule::optional key: absent, or its text (a boolean as "true" or
  // "false").
  std::optional<std::string_view> optional(std::size_t key) const { return optionals_[key]; }

  void setText(std::size_t key, const std::string& text) { texts_[key] = &text; }
  void setFlag(std::size_t key, bool flag) { flags_[key] = flag; }
  void setOptional(std::size_t key, std::optional<std::string_view> value) { optionals_[key] = value; }

 private:
  std::array<const std::string*, kMaxPayloadKeys> texts_{};
  std::array<bool, kMaxPayloadKeys> flags_{};
  std::array<std::optional<std::string_view>, kMaxPayloadKeys> optionals_{};
};

// What a command's work sees.
struct Work {
  HelperState& state;
  const HelperBridgeRequest& request;
  const Arguments& args;
  LinphoneCore* core() const { return state.engine.core(); }
};

// How a command's work runs once its checks have passed: `work` with its
// outcome answered under the row's result key, or `respond`, the rest of a
// frame of its own.
struct CommandWork {
  HelperBridgeCommand command;
  bool onEngineQueue = true;  // false: reads only the mirror, on the request thread
  WorkResult (*work)(const Work&) = nullptr;
  HelperBridgeResponse (*respond)(const Work&) = nullptr;
};

// The frame for one row. Request thread only.
HelperBridgeResponse runFrame(const CommandRow& row, const CommandWork& work, HelperState& state,
                              const HelperBridgeRequest& request);

// The frame over the helper's own table. Request thread only, one request
// at a time. Never fails: every problem becomes a response with success
// false.
HelperBridgeResponse handle(HelperState& state, const HelperBridgeRequest& request);

// Decode-or-answer for one raw line, then `handle`.
HelperBridgeResponse respondTo(HelperState& state, std::string_view line);

}  // namespace tavirel::bridge
