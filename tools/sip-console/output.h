// Where the console writes: answers and events to stdout, its own trouble
// (the helper's death, usage) to stderr. Every line passes the secret
// scrubber first. The line editor hooks in to clear its prompt before an
// event arrives while a person types, and to draw it again afterwards.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "redaction.h"

namespace tavirel::console {

class Printer {
 public:
  explicit Printer(const SecretScrubber& scrubber) : scrubber_(scrubber) {}

  void line(const std::string& text) { write(stdout, text); }
  void problem(const std::string& text) { write(stderr, text); }

  // Called once before the next line is written, then forgotten.
  void beforeNextLine(std::function<void()> hook) { before_ = std::move(hook); }
  unsigned long count() const { return count_; }

 private:
  void write(std::FILE* to, const std::string& text) {
    if (before_) std::exchange(before_, nullptr)();
    std::fflush(stdout);
    std::fputs((scrubber_.scrub(text) + "\n").c_str(), to);
    std::fflush(to);
    ++count_;
  }

  const SecretScrubber& scrubber_;
  std::function<void()> before_;
  unsigned long count_ = 0;
};

}  // namespace tavirel::console
