// The decisions of the GeoClue2 backend that need no bus: what a failed
// step means for the request, how GeoClue2's timestamps become the
// driver's milliseconds, and which desktop id the application presents.
// Plain values in and out, so they are tested without a daemon.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavirel::location::geoclue {

// The step of a request's set-up or run that failed.
enum class Step {
  connect,       // reaching the bus at all
  createClient,  // Manager.CreateClient: the first call to the service
  configure,     // setting the client's properties
  start,         // Client.Start
  readLocation,  // reading a Location object's properties
};

// What the manager reports for a failure, in the driver's terms.
struct Failure {
  enum class Kind {
    servicesOff,    // location services count as switched off: "disabled"
    denied,         // authorization status "denied": "denied"
    locationError,  // a location error with `errorCode`
  };
  Kind kind;
  int errorCode = 0;  // for locationError: 0 unknown/unavailable, 1 denied

  friend bool operator==(const Failure&, const Failure&) = default;
};

// `dbusErrorName` is the remote error's name ("org.freedesktop.DBus.Error.
// AccessDenied"), empty when the failure did not come from a peer (no
// connection, a local timeout); `message` is its text without GDBus's
// prefix.
Failure failureOf(Step step, std::string_view dbusErrorName, std::string_view message);

// What the connection to the bus closing means for a request: before the
// service has answered its first call the bus was, for this request, never
// reached, as when connecting fails ("disabled"); after that the service
// went away mid-request, a location error. Which of the two the request
// sees must not depend on whether the closing was noticed before the
// request began.
Failure closedConnectionFailure(bool serviceAnswered);

// GeoClue2's Timestamp is (seconds, microseconds) since 1970; the driver
// wants whole milliseconds. Values beyond the signed 64-bit range saturate
// rather than wrap into a date in the past.
std::int64_t millisFromTimestamp(std::uint64_t seconds, std::uint64_t microseconds);

// The DesktopId the client presents: `configured` when given and not empty,
// else the file name of the process's executable (`java` for a plain JVM,
// the launcher's name for a packaged application), else "tavirel".
std::string desktopIdFor(std::optional<std::string_view> configured, std::string_view executablePath);

}  // namespace tavirel::location::geoclue
