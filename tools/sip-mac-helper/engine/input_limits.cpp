#include "engine/input_limits.h"

namespace tavirel::engine {
namespace {

// The unreserved characters of RFC 3986/3261: written as they are in user,
// host, parameters and headers alike. Everything else is escaped in at least
// one of them, and the bound does not try to know which.
bool neverEscaped(unsigned char byte) {
  if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')) return true;
  switch (byte) {
    case '-': case '_': case '.': case '!': case '~': case '*': case '\'': case '(': case ')':
      return true;
    default:
      return false;
  }
}

std::optional<std::string> tooLong(std::string_view key, std::string_view text, std::size_t limit) {
  if (escapedLengthBound(text) <= limit) return std::nullopt;
  return std::string(key) + " too long (more than " + std::to_string(limit) + " bytes once escaped)";
}

}  // namespace

std::size_t escapedLengthBound(std::string_view text) {
  std::size_t length = 0;
  for (const char c : text) length += neverEscaped(static_cast<unsigned char>(c)) ? 1 : 3;
  return length;
}

bool fitsCallTarget(std::string_view target) { return escapedLengthBound(target) <= kMaxTargetLength; }

std::optional<std::string> accountTextProblem(std::string_view sipAccount, std::string_view server) {
  if (auto problem = tooLong("sipAccount", sipAccount, kMaxAccountLength)) return problem;
  return tooLong("server", server, kMaxServerLength);
}

}  // namespace tavirel::engine
