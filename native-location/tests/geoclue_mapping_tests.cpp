// What the GeoClue2 backend makes of failures, timestamps and the
// application's identity, without a daemon.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "platform/linux/geoclue_mapping.h"

namespace tavirel::location::geoclue {
namespace {

constexpr const char* kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
constexpr const char* kServiceUnknown = "org.freedesktop.DBus.Error.ServiceUnknown";
const Failure servicesOff{Failure::Kind::servicesOff};
const Failure denied{Failure::Kind::denied};
const Failure unavailable{Failure::Kind::locationError, 0};
const Failure refused{Failure::Kind::locationError, 1};

TEST(GeoclueFailure, EachRefusalAndFailureEndsTheWayTheUserWouldExpect) {
  struct Case {
    Step step;
    const char* name;
    const char* message;
    Failure expected;
  };
  for (const Case& c : {
           // No bus at all, whatever GIO says about it.
           Case{Step::connect, "", "Could not connect: No such file or directory", servicesOff},
           // The service is not on the bus: off at the first call, gone later.
           Case{Step::createClient, kServiceUnknown, "The name is not activatable", servicesOff},
           Case{Step::createClient, "org.freedesktop.DBus.Error.NameHasNoOwner", "no owner", servicesOff},
           Case{Step::start, kServiceUnknown, "The name is not activatable", unavailable},
           Case{Step::readLocation, kServiceUnknown, "gone", unavailable},
           // The three refusals GeoClue2 gives at Start.
           Case{Step::start, kAccessDenied, "Geolocation disabled for UID 1000", servicesOff},
           Case{Step::start, kAccessDenied, "'tavirel' disallowed by configuration for UID 1000", denied},
           Case{Step::start, kAccessDenied, "'DesktopId' property must be set", refused},
           Case{Step::configure, kAccessDenied, "not allowed", refused},
           // Everything else: the service failed us.
           Case{Step::createClient, "org.freedesktop.DBus.Error.NoReply", "recipient disconnected", unavailable},
           Case{Step::createClient, "org.freedesktop.DBus.Error.LimitsExceeded", "too many replies", unavailable},
           Case{Step::start, "", "Timeout was reached", unavailable},
           Case{Step::readLocation, "org.freedesktop.DBus.Error.UnknownObject", "no such object", unavailable},
       }) {
    SCOPED_TRACE(std::string(c.name) + " / " + c.message);
    EXPECT_EQ(failureOf(c.step, c.name, c.message), c.expected);
  }
}

// A bus that went away before the service answered was never reached: the
// same "disabled" as a bus that cannot be connected to at all.
TEST(GeoclueFailure, ABusThatClosesBeforeTheServiceAnswersCountsAsNoBus) {
  EXPECT_EQ(closedConnectionFailure(false), failureOf(Step::connect, "", "Could not connect"));
  EXPECT_EQ(closedConnectionFailure(true), unavailable);
}

TEST(GeoclueTimestamp, SecondsAndMicrosecondsBecomeTruncatedMilliseconds) {
  EXPECT_EQ(millisFromTimestamp(1'700'000'000, 0), 1'700'000'000'000);
  EXPECT_EQ(millisFromTimestamp(1'700'000'000, 999'999), 1'700'000'000'999);
  EXPECT_EQ(millisFromTimestamp(0, 1'999), 1);
  constexpr auto max = std::numeric_limits<std::int64_t>::max();
  // The largest representable instant, then one past it: saturates, never
  // wraps into the past (which would make a future fix "cached").
  EXPECT_EQ(millisFromTimestamp(max / 1000, (max % 1000) * 1000), max);
  EXPECT_EQ(millisFromTimestamp(max / 1000, (max % 1000 + 1) * 1000), max);
  EXPECT_EQ(millisFromTimestamp(std::numeric_limits<std::uint64_t>::max(), 0), max);
  EXPECT_EQ(millisFromTimestamp(0, std::numeric_limits<std::uint64_t>::max()),
            static_cast<std::int64_t>(std::numeric_limits<std::uint64_t>::max() / 1000));
}

TEST(GeoclueDesktopId, ConfiguredIdWinsElseTheExecutablesName) {
  EXPECT_EQ(desktopIdFor(std::string_view("org.example.App"), "/usr/bin/java"), "org.example.App");
  EXPECT_EQ(desktopIdFor(std::string_view(""), "/usr/lib/jvm/java-17/bin/java"), "java");
  EXPECT_EQ(desktopIdFor(std::nullopt, "/opt/attendance/bin/Attendance"), "Attendance");
  EXPECT_EQ(desktopIdFor(std::nullopt, "/opt/app/bin/launcher (deleted)"), "launcher");
  EXPECT_EQ(desktopIdFor(std::nullopt, ""), "tavirel");
  EXPECT_EQ(desktopIdFor(std::nullopt, "/"), "tavirel");
}

}  // namespace
}  // namespace tavirel::location::geoclue
