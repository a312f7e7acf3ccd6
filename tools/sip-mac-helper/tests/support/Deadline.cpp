#include "Deadline.h"

#include <cstdlib>
#include <string>
#include <thread>

namespace tavirel::test {

double timeScale() {
  static const double scale = [] {
    const char* text = std::getenv("TAVIREL_TEST_TIME_SCALE");
    if (text == nullptr) return 1.0;
    try {
      double value = std::stod(text);
      return value > 0 ? value : 1.0;
    } catch (const std::exception&) {
      return 1.0;
    }
  }();
  return scale;
}

Deadline deadlineAfter(Clock::duration timeout) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout * timeScale());
}

Clock::duration remaining(Deadline deadline) {
  auto left = deadline - Clock::now();
  return left > Clock::duration::zero() ? left : Clock::duration::zero();
}

bool pollUntil(const std::function<bool()>& condition, Deadline deadline,
               Clock::duration interval) {
  while (true) {
    if (condition()) return true;
    auto left = remaining(deadline);
    if (left == Clock::duration::zero()) return false;
    std::this_thread::sleep_for(std::min(interval, left));
  }
}

}  // namespace tavirel::test
