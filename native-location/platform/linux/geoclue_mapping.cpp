#include "platform/linux/geoclue_mapping.h"

#include <limits>

namespace tavirel::location::geoclue {
namespace {

constexpr std::string_view kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
constexpr std::string_view kServiceUnknown = "org.freedesktop.DBus.Error.ServiceUnknown";
constexpr std::string_view kNameHasNoOwner = "org.freedesktop.DBus.Error.NameHasNoOwner";

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

}  // namespace

Failure failureOf(Step step, std::string_view dbusErrorName, std::string_view message) {
  using Kind = Failure::Kind;
  if (step == Step::connect) return {Kind::servicesOff};
  // The bus itself answers for a name nobody owns and nothing can
  // activate. On the first call that means the service is not there; later
  // it means it went away mid-request, which is a location error.
  if (dbusErrorName == kServiceUnknown || dbusErrorName == kNameHasNoOwner) {
    return step == Step::createClient ? Failure{Kind::servicesOff} : Failure{Kind::locationError, 0};
  }
  if (dbusErrorName == kAccessDenied) {
    // GeoClue2 tells its refusals apart only by their text: the user's
    // agent switched geolocation off, or the configuration refuses this
    // application (or this user).
    if (contains(message, "Geolocation disabled")) return {Kind::servicesOff};
    if (contains(message, "disallowed by configuration")) return {Kind::denied};
    return {Kind::locationError, 1};
  }
  return {Kind::locationError, 0};
}

Failure closedConnectionFailure(bool serviceAnswered) {
  return serviceAnswered ? Failure{Failure::Kind::locationError, 0} : Failure{Failure::Kind::servicesOff};
}

std::int64_t millisFromTimestamp(std::uint64_t seconds, std::uint64_t microseconds) {
  constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const std::uint64_t fromMicros = microseconds / 1000;
  if (seconds > (max - fromMicros) / 1000) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(seconds * 1000 + fromMicros);
}

std::string desktopIdFor(std::optional<std::string_view> configured, std::string_view executablePath) {
  if (configured && !configured->empty()) return std::string(*configured);
  const auto slash = executablePath.rfind('/');
  std::string_view name = slash == std::string_view::npos ? executablePath : executablePath.substr(slash + 1);
  // The kernel marks an executable replaced on disk since it started.
  constexpr std::string_view deleted = " (deleted)";
  if (name.size() > deleted.size() && name.substr(name.size() - deleted.size()) == deleted) {
    name.remove_suffix(deleted.size());
  }
  return name.empty() ? std::string("tavirel") : std::string(name);
}

}  // namespace tavirel::location::geoclue
