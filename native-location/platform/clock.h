// Time seams: the wall clock the request driver stamps its start with, and
// the scheduler that runs deferred work on the main thread. Both are
// interfaces so tests can drive time by hand.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/task.h"

namespace tavirel::location {

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock time in milliseconds since 1970-01-01 UTC, truncated toward
  // zero.
  virtual std::int64_t nowMillisSince1970() const = 0;
};

class SystemClock final : public Clock {
 public:
  std::int64_t nowMillisSince1970() const override;
};

class Scheduler {
 public:
  virtual ~Scheduler() = default;
  // Runs `task` once on the scheduler's thread after `delay` (a negative
  // delay counts as zero). Tasks due at the same instant run in the order
  // they were posted. Callable from any thread.
  virtual void postAfter(std::chrono::nanoseconds delay, Task task) = 0;
};

// Turns a delay in milliseconds into nanoseconds without overflow. Zero and
// negative delays mean "at once"; a delay too large for 64-bit nanoseconds
// means "never" (nullopt), which callers honour by not scheduling at all.
// Plain multiplication would wrap such a delay around to a past or
// near-future instant and fire it at once.
std::optional<std::chrono::nanoseconds> delayFromMillis(std::int64_t millis);

}  // namespace tavirel::location
