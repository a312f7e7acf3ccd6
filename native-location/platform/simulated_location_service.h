// SimulatedLocationService: plays a scenario (see scenario.h) to one request.
//
// Events are replayed relative to the creation of the request's manager, on
// the main thread:
//  - a status event changes the status and reports an authorization change;
//  - a services event only changes what later queries answer;
//  - a locations event delivers one update with its positions in order, but
//    only while updates are started (it is dropped otherwise);
//  - an error event reports a failure with its code.
// Positions given by "ageMs" are stamped that long before the event fires,
// by the same wall clock the driver stamps its start with.
#pragma once

#include <memory>
#include <string>

#include "platform/location_service.h"
#include "platform/scenario.h"

namespace tavirel::location {

// `mainQueue` and `clock` must outlive every manager the service creates and
// every event it schedules.
std::shared_ptr<LocationService> makeSimulatedLocationService(Scenario scenario, Scheduler& mainQueue,
                                                              const Clock& clock);

// The simulated service playing the scenario file at `path` to the request
// `requestId`, read afresh for each request. A scenario that cannot be read
// or is invalid gives one line on stderr and services off.
std::shared_ptr<LocationService> simulatedLocationServiceFromFile(const std::string& path,
                                                                  const std::string& requestId,
                                                                  Scheduler& mainQueue, const Clock& clock);

}  // namespace tavirel::location
