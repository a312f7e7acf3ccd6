// Simulation scenarios: a JSON file that scripts what the simulated location
// service reports to one request.
//
//   {"servicesEnabled": true, "authorizationStatus": 0,
//    "events": [{"atMs": 50, "authorizationStatus": 3},
//               {"atMs": 60, "servicesEnabled": false},
//               {"atMs": 100, "locations": [{"latitude": 1.5, "longitude": 2.5,
//                                            "accuracy": 10.0, "ageMs": 0}]},
//               {"atMs": 200, "error": 0}],
//    "requests": {"<request id>": {...same keys...}}}
//
// An entry under "requests" replaces the top level entirely for that id (it
// is not merged). Defaults: services enabled, status 0, no events.
// Validation is strict: a misspelt key would otherwise silently script
// nothing and leave a test author puzzling over a timeout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tavirel::location {

struct ScenarioLocation {
  double latitude = 0;
  double longitude = 0;
  double accuracy = 0;
  // Exactly one is set: "ageMs" (age when the event fires, default 0) or
  // "timestampMs" (absolute, ms since 1970).
  std::optional<std::int64_t> ageMillis;
  std::optional<std::int64_t> timestampMillis;
};

struct ScenarioEvent {
  struct Status { std::int32_t status; };
  struct Services { bool enabled; };
  struct Locations { std::vector<ScenarioLocation> locations; };
  struct Error { int code; };

  std::int64_t atMillis = 0;  // after the manager's creation
  std::variant<Status, Services, Locations, Error> what;
};

struct Scenario {
  bool servicesEnabled = true;
  std::int32_t authorizationStatus = 0;
  std::vector<ScenarioEvent> events;  // file order
};

// Parses `text` and picks the scenario for `requestId`. On failure returns a
// one-line description of what is wrong.
std::variant<Scenario, std::string> parseScenario(std::string_view text, const std::string& requestId);

}  // namespace tavirel::location
