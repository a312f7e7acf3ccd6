// GeoClue2LocationService: the location-service seam on GeoClue2, over a
// private D-Bus connection run by the main queue's thread.
//
// How the seam maps onto the service (one GeoClue2 client per manager):
//  - requestWhenInUseAuthorization connects (once per process while the
//    connection lasts), creates the client with CreateClient, sets its
//    DesktopId, RequestedAccuracyLevel 8 (exact) and zero thresholds, and
//    starts it: GeoClue2 decides the application's permission at Start.
//  - The status is "not determined" until Start answers, "authorized
//    always" when it succeeds, "denied" when the configuration refuses the
//    application.
//  - Location services count as off for the request when the bus cannot be
//    reached, GeoClue2 is neither on it nor activatable, the user's agent
//    has geolocation switched off, or the client stops being active without
//    our Stop. The driver learns this from an authorization report.
//  - Each LocationUpdated becomes one update of one position, read at once
//    (GeoClue2 frees old Location objects soon). Positions seen before
//    updates were started are kept and delivered when they start.
//  - The service leaving the bus, the connection closing, or any other
//    failed call is a location error (code 1 for a refusal, 0 otherwise).
//  - stopUpdatingLocation stops the client; the manager's end deletes it.
// Nothing here blocks the thread on the bus: every call is asynchronous,
// and those that wait on the user (CreateClient waits for an agent, which
// may never come) have no time limit of their own: the request's timeout
// is the limit.
#pragma once

#include <memory>
#include <string>

#include "platform/location_service.h"
#include "platform/main_queue.h"

namespace tavirel::location {

// A service for one request. `queue` is the queue whose thread runs the
// driver; the call must be made on that thread, which from then on also
// runs GLib's main context. `busAddress` is a D-Bus address (the system
// bus's); `desktopId` is the id the client presents to GeoClue2.
std::shared_ptr<LocationService> makeGeoClue2LocationService(MainQueue& queue, std::string busAddress,
                                                             std::string desktopId);

// The system bus's address: DBUS_SYSTEM_BUS_ADDRESS when set, else the
// standard one. Does no I/O.
std::string systemBusAddress();

}  // namespace tavirel::location
