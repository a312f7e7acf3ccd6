#include "events.h"

namespace tavirel::console {

std::string registrationEvent(std::string_view state) { return "* registration: " + std::string(state); }

std::string callEvent(const StateSnapshot& snapshot) {
  std::string line = "* call: " + snapshot.call;
  if (!snapshot.remote.empty()) line += " " + snapshot.remote;
  return line + " (callLog " + snapshot.callLog + ")";
}

std::string callLogEvent(std::string_view status) { return "* callLog: " + std::string(status); }

std::vector<std::string> EventTracker::update(const StateSnapshot& now, Clock::time_point at) {
  std::vector<std::string> lines;
  if (now.registration != last_.registration) lines.push_back(registrationEvent(now.registration));
  if (now.call != last_.call || now.remote != last_.remote) {
    lines.push_back(callEvent(now));
  } else if (now.callLog != last_.callLog) {
    lines.push_back(callLogEvent(now.callLog));
  }
  // Only a change into streamsRunning counts: a call already running when
  // another is placed shows that state before the new one has begun.
  if (placedAt_ && now.call == "streamsRunning" && last_.call != "streamsRunning") {
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(at - *placedAt_);
    lines.push_back("* call: set up in " + std::to_string(took.count()) + " ms (MAKE_CALL to streamsRunning)");
    placedAt_.reset();
  } else if (placedAt_ && (now.call == "end" || now.call == "error" || now.call == "released")) {
    placedAt_.reset();
  }
  last_ = now;
  return lines;
}

void EventTracker::callPlaced(Clock::time_point at) { placedAt_ = at; }

}  // namespace tavirel::console
