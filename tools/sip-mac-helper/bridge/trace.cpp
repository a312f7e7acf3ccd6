#include "bridge/trace.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace tavirel::bridge {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

void writeStderrLine(std::string_view prefix, std::string_view text) {
  std::string line;
  line.reserve(prefix.size() + text.size() + 1);
  line.append(prefix);
  // Values in a trace come from requests too (a request id, a digit); a line
  // break among them must not start a line that reads like a trace of its own.
  for (const char c : text) {
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\r') {
      line += "\\r";
    } else {
      line += c;
    }
  }
  line.push_back('\n');
  // A failing stderr must not disturb the caller: the trace is best effort.
  (void)writeAll(STDERR_FILENO, line);
}

void writeDebugLog(std::string_view text) { writeStderrLine(kDebugTracePrefix, text); }

void writeDtmfLog(std::string_view text) { writeStderrLine(kDtmfTracePrefix, text); }

}  // namespace tavirel::bridge
