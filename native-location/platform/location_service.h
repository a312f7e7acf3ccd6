// The location-service seam: exactly the platform operations the request
// driver relies on, and nothing more.
//
// Contract shared by every implementation: all calls are made on the main
// thread, and a manager reports to its delegate on the main thread only,
// never from inside one of its own methods (the driver may be in the middle
// of changing its state when it calls the manager).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tavirel::location {

class Clock;
class Scheduler;

// Authorization statuses as the platform numbers them.
namespace authorization {
inline constexpr std::int32_t notDetermined = 0;
inline constexpr std::int32_t restricted = 1;
inline constexpr std::int32_t denied = 2;
inline constexpr std::int32_t authorizedAlways = 3;
inline constexpr std::int32_t authorizedWhenInUse = 4;
}  // namespace authorization

// Platform error codes the driver tells apart.
namespace locationError {
inline constexpr int locationUnknown = 0;
inline constexpr int denied = 1;
}  // namespace locationError

struct Location {
  double latitude = 0;            // degrees
  double longitude = 0;           // degrees
  double horizontalAccuracy = 0;  // metres, passed on unchecked
  std::int64_t timestampMillis = 0;  // when determined, ms since 1970 UTC
};

class LocationManager;

class LocationManagerDelegate {
 public:
  virtual ~LocationManagerDelegate() = default;
  virtual void locationManagerDidChangeAuthorization(LocationManager& manager) = 0;
  virtual void locationManagerDidUpdateLocations(LocationManager& manager,
                                                 const std::vector<Location>& locations) = 0;
  virtual void locationManagerDidFailWithError(LocationManager& manager, int errorCode) = 0;
};

class LocationManager {
 public:
  virtual ~LocationManager() = default;
  // Asks for permission when none has been decided; any answer arrives later
  // through locationManagerDidChangeAuthorization.
  virtual void requestWhenInUseAuthorization() = 0;
  virtual std::int32_t authorizationStatus() const = 0;
  // Start and stop delivery of locationManagerDidUpdateLocations.
  virtual void startUpdatingLocation() = 0;
  virtual void stopUpdatingLocation() = 0;
};

class LocationService {
 public:
  virtual ~LocationService() = default;
  // Whether location services are switched on system-wide, now.
  virtual bool locationServicesEnabled() const = 0;
  // A fresh manager reporting to `delegate` (held weakly: reports to a
  // delegate that is gone are dropped). Never null.
  virtual std::shared_ptr<LocationManager> createManager(std::weak_ptr<LocationManagerDelegate> delegate) = 0;
};

// A service that counts as switched off: every request ends "disabled".
std::shared_ptr<LocationService> makeServicesOffLocationService();

// The service for one request, chosen when the request begins by the
// platform's factory: the simulated service when the environment variable
// TAVIREL_LOCATION_SIMULATION names a scenario file (read afresh each time),
// the platform's own location service otherwise. A scenario that cannot be
// read or is invalid gives one line on stderr and services off. Main thread.
std::shared_ptr<LocationService> locationServiceForRequest(const std::string& requestId, Scheduler& mainQueue,
                                                           const Clock& clock);

}  // namespace tavirel::location
