#include "platform/diagnostics.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace tavirel::location {
namespace {

constexpr std::string_view kPrefix = "tavirel-location: ";

// One write(2) keeps the line whole even when JVM threads print to the same
// descriptor at the same time; stdio would not promise that.
void writeAll(std::string_view line) noexcept {
  while (!line.empty()) {
    ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    line.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void writeDiagnosticLine(std::string_view text) noexcept {
  try {
    std::string line(kPrefix);
    line.reserve(kPrefix.size() + text.size() + 1);
    for (char c : text) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
    line.push_back('\n');
    writeAll(line);
  } catch (...) {
    // Out of memory: still say it, as is, in one system call.
    iovec parts[3] = {{const_cast<char*>(kPrefix.data()), kPrefix.size()},
                      {const_cast<char*>(text.data()), text.size()},
                      {const_cast<char*>("\n"), 1}};
    [[maybe_unused]] ssize_t ignored = ::writev(STDERR_FILENO, parts, 3);
  }
}

}  // namespace tavirel::location
