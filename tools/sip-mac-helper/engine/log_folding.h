// Bounded stderr: the application keeps the helper's stderr as its log, and
// the engine repeats itself without limit on a bad network (a warning per
// garbage packet, per missing sound sample). The first few of a text within
// an interval are written as they come; the rest are counted, and one line
// per interval says how many were left out, in the words of the last one:
//   <that line> (412 more in the last 10 s)
// so nothing is hidden and nothing floods. Texts that differ only in their
// numbers (ports, addresses, pointers, counters) count as one.
//
// Plain code with the clock passed in, tested on its own; the engine's log
// handler and a periodic flush drive it from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavirel::engine {

class LogFolder {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kBurst = 5;
  static constexpr std::chrono::seconds kInterval{10};
  // Texts followed at once; past this, new texts share one count.
  static constexpr std::size_t kMostTexts = 512;

  // `line` (ending in LF) arrives at `now`: the lines to write, in order (a
  // count that fell due, then the line itself unless it is folded).
  std::vector<std::string> admit(const std::string& line, Clock::time_point now);
  // The counts of intervals that have ended by `now`.
  std::vector<std::string> flush(Clock::time_point now);

  // The text with every run of letters and digits that holds a digit
  // replaced by '#'.
  static std::string foldingKey(std::string_view line);

 private:
  struct Text {
    Clock::time_point intervalStart;
    std::size_t written = 0;
    std::size_t left = 0;
    std::string lastLeft;  // the last line left out, without its LF
  };
  static std::string countLine(const Text& text);
  void forgetQuietTexts(Clock::time_point now);

  std::mutex mutex_;
  std::unordered_map<std::string, Text> texts_;  // guarded by mutex_
};

}  // namespace tavirel::engine
