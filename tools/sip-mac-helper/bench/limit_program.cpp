// The machine's limit for a line-per-request JSON bridge: reads LF-terminated
// lines from stdin, parses each with the JSON library the helper uses, and
// answers each with a small fixed line. Nothing else happens per line, so
// the benchmark's pipe harness measures here what reading, parsing and
// writing alone cost on this machine.
//
// It answers the way any correct line server must: every answer leaves in
// one write() of its own as soon as it is ready, since a client may be
// waiting for it before it sends the next line.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view kAnswer = "{\"requestId\":\"\",\"success\":true}\n";
constexpr std::string_view kRefusal = "{\"requestId\":\"\",\"success\":false}\n";

bool writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool answer(std::string_view line) {
  // The document is built in full, as a decoder of requests must.
  const auto document = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  return writeAll(document.is_object() ? kAnswer : kRefusal);
}

}  // namespace

int main() {
  std::string buffer;
  std::size_t start = 0;
  constexpr std::size_t kChunk = 64 * 1024;
  for (;;) {
    if (const void* lf = std::memchr(buffer.data() + start, '\n', buffer.size() - start)) {
      const auto end = static_cast<std::size_t>(static_cast<const char*>(lf) - buffer.data());
      if (!answer(std::string_view(buffer).substr(start, end - start))) return EXIT_FAILURE;
      start = end + 1;
      continue;
    }
    buffer.erase(0, start);
    start = 0;
    const std::size_t old = buffer.size();
    buffer.resize(old + kChunk);
    ssize_t got;
    do got = ::read(STDIN_FILENO, buffer.data() + old, kChunk);
    while (got < 0 && errno == EINTR);
    buffer.resize(old + static_cast<std::size_t>(got > 0 ? got : 0));
    if (got <= 0) break;
  }
  if (start < buffer.size() && !answer(std::string_view(buffer).substr(start))) return EXIT_FAILURE;
  return EXIT_SUCCESS;
}
