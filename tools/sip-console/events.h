// The helper pushes nothing; the console polls its state queries and turns
// each change into one event line. The lines are meant to be read and
// grepped, so their shape is fixed:
//
//   * registration: STATE                       none progress ok cleared failed
//   * call: STATE[ REMOTE] (callLog STATUS)     on a change of state or remote
//   * callLog: STATUS                           when only the call log changed
//   * call: set up in N ms (MAKE_CALL to streamsRunning)
//
// STATE and STATUS are the helper's own words (GET_CALL_STATE,
// GET_REGISTRATION_STATE); REMOTE is left out while the helper has none.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavirel::console {

using Clock = std::chrono::steady_clock;

struct StateSnapshot {
  // The helper's values before any engine event.
  std::string registration = "none";
  std::string call = "idle";
  std::string remote;
  std::string callLog = "none";

  bool operator==(const StateSnapshot&) const = default;
};

std::string registrationEvent(std::string_view state);
std::string callEvent(const StateSnapshot& snapshot);
std::string callLogEvent(std::string_view status);

class EventTracker {
 public:
  // Event lines for what changed since the last snapshot (the helper's
  // initial values before the first), taken at `at`.
  std::vector<std::string> update(const StateSnapshot& now, Clock::time_point at);

  // A MAKE_CALL was sent at `at`: the next streamsRunning reports how long
  // the set-up took; an end, error or release first cancels the timing.
  void callPlaced(Clock::time_point at);
  bool timingCallSetUp() const { return placedAt_.has_value(); }

  const StateSnapshot& last() const { return last_; }

 private:
  StateSnapshot last_;
  std::optional<Clock::time_point> placedAt_;
};

}  // namespace tavirel::console
