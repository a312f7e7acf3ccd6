#include "platform/scenario.h"

#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <utility>

namespace tavirel::location {
namespace {

using nlohmann::json;

// Validation failures travel as this exception inside the parser only; the
// public function turns it into a value.
struct Invalid : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void requireOnlyKeys(const json& object, const std::set<std::string>& allowed, const std::string& where) {
  for (const auto& [key, value] : object.items()) {
    if (!allowed.contains(key)) throw Invalid(where + ": unknown key \"" + key + "\"");
  }
}

std::int64_t integerAt(const json& object, const char* key, const std::string& where) {
  const json& v = object.at(key);
  if (!v.is_number_integer()) throw Invalid(where + ": \"" + key + "\" must be an integer");
  if (v.is_number_unsigned() && v.get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
    throw Invalid(where + ": \"" + key + "\" is out of range");
  }
  return v.get<std::int64_t>();
}

std::int32_t int32At(const json& object, const char* key, const std::string& where) {
  const std::int64_t v = integerAt(object, key, where);
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
    throw Invalid(where + ": \"" + key + "\" is out of range");
  }
  return static_cast<std::int32_t>(v);
}

double numberAt(const json& object, const char* key, const std::string& where) {
  if (!object.contains(key)) throw Invalid(where + ": \"" + key + "\" is missing");
  const json& v = object.at(key);
  if (!v.is_number()) throw Invalid(where + ": \"" + key + "\" must be a number");
  return v.get<double>();
}

bool boolAt(const json& object, const char* key, const std::string& where) {
  const json& v = object.at(key);
  if (!v.is_boolean()) throw Invalid(where + ": \"" + key + "\" must be true or false");
  return v.get<bool>();
}

ScenarioLocation parseLocation(const json& j, const std::string& where) {
  if (!j.is_object()) throw Invalid(where + " must be an object");
  requireOnlyKeys(j, {"latitude", "longitude", "accuracy", "ageMs", "timestampMs"}, where);
  ScenarioLocation location;
  location.latitude = numberAt(j, "latitude", where);
  location.longitude = numberAt(j, "longitude", where);
  location.accuracy = numberAt(j, "accuracy", where);
  const bool hasAge = j.contains("ageMs");
  const bool hasTimestamp = j.contains("timestampMs");
  if (hasAge && hasTimestamp) throw Invalid(where + ": give \"ageMs\" or \"timestampMs\", not both");
  if (hasTimestamp) {
    location.timestampMillis = integerAt(j, "timestampMs", where);
  } else {
    location.ageMillis = hasAge ? integerAt(j, "ageMs", where) : 0;
  }
  return location;
}

ScenarioEvent parseEvent(const json& j, const std::string& where) {
  if (!j.is_object()) throw Invalid(where + " must be an object");
  requireOnlyKeys(j, {"atMs", "authorizationStatus", "servicesEnabled", "locations", "error"}, where);
  if (!j.contains("atMs")) throw Invalid(where + ": \"atMs\" is missing");
  ScenarioEvent event;
  event.atMillis = integerAt(j, "atMs", where);
  if (event.atMillis < 0) throw Invalid(where + ": \"atMs\" must not be negative");
  if (j.size() != 2) {
    throw Invalid(where + ": needs exactly one of \"authorizationStatus\", \"servicesEnabled\", \"locations\", \"error\"");
  }
  if (j.contains("authorizationStatus")) {
    event.what = ScenarioEvent::Status{int32At(j, "authorizationStatus", where)};
  } else if (j.contains("servicesEnabled")) {
    event.what = ScenarioEvent::Services{boolAt(j, "servicesEnabled", where)};
  } else if (j.contains("locations")) {
    const json& list = j.at("locations");
    if (!list.is_array()) throw Invalid(where + ": \"locations\" must be an array");
    ScenarioEvent::Locations locations;
    for (std::size_t i = 0; i < list.size(); ++i) {
      locations.locations.push_back(parseLocation(list[i], where + ".locations[" + std::to_string(i) + "]"));
    }
    event.what = std::move(locations);
  } else {
    event.what = ScenarioEvent::Error{int32At(j, "error", where)};
  }
  return event;
}

Scenario parseBody(const json& j, const std::string& where, bool allowRequests) {
  if (!j.is_object()) throw Invalid(where + " must be an object");
  if (allowRequests) {
    requireOnlyKeys(j, {"servicesEnabled", "authorizationStatus", "events", "requests"}, where);
  } else {
    requireOnlyKeys(j, {"servicesEnabled", "authorizationStatus", "events"}, where);
  }
  Scenario scenario;
  if (j.contains("servicesEnabled")) scenario.servicesEnabled = boolAt(j, "servicesEnabled", where);
  if (j.contains("authorizationStatus")) scenario.authorizationStatus = int32At(j, "authorizationStatus", where);
  if (j.contains("events")) {
    const json& list = j.at("events");
    if (!list.is_array()) throw Invalid(where + ": \"events\" must be an array");
    for (std::size_t i = 0; i < list.size(); ++i) {
      scenario.events.push_back(parseEvent(list[i], where + ".events[" + std::to_string(i) + "]"));
    }
  }
  return scenario;
}

}  // namespace

std::variant<Scenario, std::string> parseScenario(std::string_view text, const std::string& requestId) {
  json root = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded()) return std::string("not valid JSON");
  try {
    // Validate the whole file even when a per-request entry wins, so a
    // mistake anywhere is reported at once rather than by some later test.
    Scenario top = parseBody(root, "scenario", /*allowRequests=*/true);
    std::optional<Scenario> chosen;
    if (root.contains("requests")) {
      const json& requests = root.at("requests");
      if (!requests.is_object()) throw Invalid("scenario: \"requests\" must be an object");
      for (const auto& [id, body] : requests.items()) {
        Scenario s = parseBody(body, "scenario.requests[\"" + id + "\"]", /*allowRequests=*/false);
        if (id == requestId) chosen = std::move(s);
      }
    }
    return chosen ? std::move(*chosen) : std::move(top);
  } catch (const Invalid& e) {
    return std::string(e.what());
  } catch (const json::exception& e) {
    return std::string(e.what());
  }
}

}  // namespace tavirel::location
