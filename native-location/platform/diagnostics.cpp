#include "platform/diagnostics.h"

#include <unistd.h>

#include <cerrno>

#include <string>

namespace tavirel::location {

void writeDiagnosticLine(std::string_view text) noexcept {
  try {
    std::string line = "tavirel-location: ";
    line.reserve(line.size() + text.size() + 1);
    for (char c : text) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
    line.push_back('\n');
    // A single write(2) keeps the line whole even when JVM threads print to
    // the same descriptor at the same time; stdio would not promise that.
    std::string_view rest = line;
    while (!rest.empty()) {
      ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
  } catch (...) {
    // Out of memory while building the line: nothing sensible left to say.
  }
}

}  // namespace tavirel::location
