#include "options.h"

#include <sstream>
#include <stdexcept>

namespace tavirel::bench {

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error("missing value after " + arg);
      return argv[++i];
    };
    if (arg == "--helper") o.helper = value();
    else if (arg == "--peer") o.peer = value();
    else if (arg == "--limit") o.limit = value();
    else if (arg == "--json") o.jsonFile = value();
    else if (arg == "--location-cmd") o.locationCommand = value();
    else if (arg == "--runs") o.runs = std::stoi(value());
    else if (arg == "--requests") o.requests = std::stoi(value());
    else if (arg == "--peer-requests") o.peerRequests = std::stoi(value());
    else if (arg == "--round-trips") o.roundTrips = std::stoi(value());
    else if (arg == "--idle-seconds") o.idleSeconds = std::stoi(value());
    else if (arg == "--idle-runs") o.idleRuns = std::stoi(value());
    else if (arg == "--calls") o.calls = std::stoi(value());
    else if (arg == "--location-runs") o.locationRuns = std::stoi(value());
    else if (arg == "--call-seconds") o.callSeconds = std::stoi(value());
    else if (arg == "--in-call-runs") o.inCallRuns = std::stoi(value());
    else if (arg == "--conference-parties") o.conferenceParties = std::stoi(value());
    else if (arg == "--conference-seconds") o.conferenceSeconds = std::stoi(value());
    else if (arg == "--session-calls") o.sessionCalls = std::stoi(value());
    else if (arg == "--location-samples") o.locationSamples = std::stoi(value());
    else if (arg == "--fifo") o.fifo = true;
    else if (arg == "--only") {
      std::stringstream list(value());
      for (std::string item; std::getline(list, item, ',');) o.only.insert(item);
    } else throw std::runtime_error("unknown argument " + arg);
  }
  if (o.helper.empty()) throw std::runtime_error("--helper is required");
  if (o.sessionCalls < 4) throw std::runtime_error("--session-calls must be at least 4");
  if (o.conferenceParties < 2 || o.conferenceParties > 4)
    throw std::runtime_error("--conference-parties must be 2, 3 or 4 (the registrar knows five users)");
  return o;
}

}  // namespace tavirel::bench
