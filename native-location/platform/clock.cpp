// System clock and the saturating millisecond conversion.
#include "platform/clock.h"

#include <limits>

namespace tavirel::location {

std::int64_t SystemClock::nowMillisSince1970() const {
  using namespace std::chrono;
  // duration_cast truncates toward zero, as the driver's stamps require.
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::optional<std::chrono::nanoseconds> delayFromMillis(std::int64_t millis) {
  constexpr std::int64_t nanosPerMilli = 1'000'000;
  if (millis <= 0) return std::chrono::nanoseconds{0};
  if (millis > std::numeric_limits<std::int64_t>::max() / nanosPerMilli) return std::nullopt;
  return std::chrono::nanoseconds{millis * nanosPerMilli};
}

}  // namespace tavirel::location
