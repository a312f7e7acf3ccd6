#include "platform/simulated_location_service.h"

#include <fstream>
#include <limits>
#include <sstream>
#include <type_traits>
#include <utility>

#include "platform/clock.h"
#include "platform/diagnostics.h"

namespace tavirel::location {
namespace {

// now - age, pinned to the int64 range: a scenario may give any integer.
std::int64_t stampForAge(std::int64_t now, std::int64_t age) {
  std::int64_t stamp;
  if (!__builtin_sub_overflow(now, age, &stamp)) return stamp;
  return age > 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
}

// What the whole simulated system answers, shared by the service and its
// managers: a services event seen by a manager changes the service's answer.
struct SimulatedWorld {
  bool servicesEnabled;
  std::int32_t authorizationStatus;
};

class SimulatedManager final : public LocationManager, public std::enable_shared_from_this<SimulatedManager> {
 public:
  SimulatedManager(std::shared_ptr<SimulatedWorld> world, std::weak_ptr<LocationManagerDelegate> delegate,
                   const Clock& clock)
      : world_(std::move(world)), delegate_(std::move(delegate)), clock_(clock) {}

  // Schedules every event. Events hold the manager weakly: once the request
  // that owns it is gone, its remaining events find nothing to report to.
  void scheduleEvents(const std::vector<ScenarioEvent>& events, Scheduler& mainQueue) {
    for (const ScenarioEvent& event : events) {
      auto delay = delayFromMillis(event.atMillis);
      if (!delay) continue;
      mainQueue.postAfter(*delay, [weakSelf = weak_from_this(), event] {
        if (auto self = weakSelf.lock()) self->play(event);
      });
    }
  }

  void requestWhenInUseAuthorization() override {}  // the scenario decides the answer
  std::int32_t authorizationStatus() const override { return world_->authorizationStatus; }
  void startUpdatingLocation() override { updating_ = true; }
  void stopUpdatingLocation() override { updating_ = false; }

 private:
  void play(const ScenarioEvent& event) {
    std::visit(
        [&](const auto& what) {
          using T = std::decay_t<decltype(what)>;
          if constexpr (std::is_same_v<T, ScenarioEvent::Services>) {
            world_->servicesEnabled = what.enabled;
          } else if constexpr (std::is_same_v<T, ScenarioEvent::Status>) {
            world_->authorizationStatus = what.status;
            if (auto delegate = delegate_.lock()) delegate->locationManagerDidChangeAuthorization(*this);
          } else if constexpr (std::is_same_v<T, ScenarioEvent::Locations>) {
            if (!updating_) return;
            const std::int64_t now = clock_.nowMillisSince1970();
            std::vector<Location> update;
            update.reserve(what.locations.size());
            for (const ScenarioLocation& l : what.locations) {
              const std::int64_t stamp = l.timestampMillis ? *l.timestampMillis : stampForAge(now, *l.ageMillis);
              update.push_back(Location{l.latitude, l.longitude, l.accuracy, stamp});
            }
            if (auto delegate = delegate_.lock()) delegate->locationManagerDidUpdateLocations(*this, update);
          } else {
            if (auto delegate = delegate_.lock()) delegate->locationManagerDidFailWithError(*this, what.code);
          }
        },
        event.what);
  }

  std::shared_ptr<SimulatedWorld> world_;
  std::weak_ptr<LocationManagerDelegate> delegate_;
  const Clock& clock_;
  bool updating_ = false;
};

class SimulatedLocationService final : public LocationService {
 public:
  SimulatedLocationService(Scenario scenario, Scheduler& mainQueue, const Clock& clock)
      : world_(std::make_shared<SimulatedWorld>(
            SimulatedWorld{scenario.servicesEnabled, scenario.authorizationStatus})),
        events_(std::move(scenario.events)),
        mainQueue_(mainQueue),
        clock_(clock) {}

  bool locationServicesEnabled() const override { return world_->servicesEnabled; }

  std::shared_ptr<LocationManager> createManager(std::weak_ptr<LocationManagerDelegate> delegate) override {
    auto manager = std::make_shared<SimulatedManager>(world_, std::move(delegate), clock_);
    manager->scheduleEvents(events_, mainQueue_);
    return manager;
  }

 private:
  std::shared_ptr<SimulatedWorld> world_;
  std::vector<ScenarioEvent> events_;
  Scheduler& mainQueue_;
  const Clock& clock_;
};

class ServicesOffManager final : public LocationManager {
 public:
  void requestWhenInUseAuthorization() override {}
  std::int32_t authorizationStatus() const override { return authorization::notDetermined; }
  void startUpdatingLocation() override {}
  void stopUpdatingLocation() override {}
};

class ServicesOffLocationService final : public LocationService {
 public:
  bool locationServicesEnabled() const override { return false; }
  std::shared_ptr<LocationManager> createManager(std::weak_ptr<LocationManagerDelegate>) override {
    return std::make_shared<ServicesOffManager>();
  }
};

}  // namespace

std::shared_ptr<LocationService> makeSimulatedLocationService(Scenario scenario, Scheduler& mainQueue,
                                                              const Clock& clock) {
  return std::make_shared<SimulatedLocationService>(std::move(scenario), mainQueue, clock);
}

std::shared_ptr<LocationService> makeServicesOffLocationService() {
  return std::make_shared<ServicesOffLocationService>();
}

std::shared_ptr<LocationService> simulatedLocationServiceFromFile(const std::string& path,
                                                                  const std::string& requestId,
                                                                  Scheduler& mainQueue, const Clock& clock) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  if (file) text << file.rdbuf();
  if (!file) {
    writeDiagnosticLine("simulation scenario \"" + path + "\" cannot be read; location services count as off");
    return makeServicesOffLocationService();
  }
  auto parsed = parseScenario(text.str(), requestId);
  if (auto* problem = std::get_if<std::string>(&parsed)) {
    writeDiagnosticLine("simulation scenario \"" + path + "\" is invalid (" + *problem +
                        "); location services count as off");
    return makeServicesOffLocationService();
  }
  return makeSimulatedLocationService(std::get<Scenario>(std::move(parsed)), mainQueue, clock);
}

}  // namespace tavirel::location
