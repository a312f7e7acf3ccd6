// Deadlines for the end-to-end tests.
//
// Every wait in the suite is bounded by a Deadline, never by a fixed sleep:
// waits poll for a condition and give up when the deadline passes. Sanitizer
// builds run several times slower, so durations given to deadlineAfter() are
// stretched by TAVIREL_TEST_TIME_SCALE (a positive number, default 1).
#pragma once

#include <chrono>
#include <functional>

namespace tavirel::test {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// Factor from TAVIREL_TEST_TIME_SCALE; 1 when unset or not a positive number.
double timeScale();

// Now plus `timeout` stretched by timeScale().
Deadline deadlineAfter(Clock::duration timeout);

// Time left until `deadline`, zero once it has passed.
Clock::duration remaining(Deadline deadline);

// Calls `condition` until it returns true or `deadline` passes, sleeping
// `interval` between calls. Returns the last result of `condition`, which is
// called at least once, also when the deadline has already passed.
bool pollUntil(const std::function<bool()>& condition, Deadline deadline,
               Clock::duration interval = std::chrono::milliseconds(20));

}  // namespace tavirel::test
