// The Linux choice of location service: a simulation when one is asked
// for, else GeoClue2 on the system bus. The only place that knows both.
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/geoclue_location_service.h"
#include "platform/linux/geoclue_mapping.h"
#include "platform/location_service.h"
#include "platform/main_queue.h"
#include "platform/simulated_location_service.h"

namespace tavirel::location {
namespace {

std::string applicationDesktopId() {
  std::optional<std::string_view> configured;
  if (const char* id = std::getenv("TAVIREL_LOCATION_DESKTOP_ID")) configured = id;
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
  return geoclue::desktopIdFor(configured, n > 0 ? std::string_view(exe, static_cast<std::size_t>(n)) : "");
}

}  // namespace

std::shared_ptr<LocationService> locationServiceForRequest(const std::string& requestId, Scheduler& mainQueue,
                                                           const Clock& clock) {
  if (const char* scenario = std::getenv("TAVIREL_LOCATION_SIMULATION")) {
    return simulatedLocationServiceFromFile(scenario, requestId, mainQueue, clock);
  }
  // GeoClue2's replies run on the process's main queue thread, the one
  // this is called on.
  return makeGeoClue2LocationService(MainQueue::main(), systemBusAddress(), applicationDesktopId());
}

}  // namespace tavirel::location
