#include "redaction.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

namespace tavirel::console {
namespace {

// ordered_json keeps the keys in the order they were sent, so the line
// shown reads like the line sent.
using Json = nlohmann::ordered_json;

constexpr std::string_view kPasswordKey = "sipPassword";
constexpr std::size_t kShortestScrubbed = 3;

// Replaces the password values below `value`; true when there was one.
bool hidePasswords(Json& value) {
  bool found = false;
  if (value.is_object()) {
    for (auto& [key, member] : value.items()) {
      if (key == kPasswordKey) {
        member = std::string(kHidden);
        found = true;
      } else {
        found = hidePasswords(member) || found;
      }
    }
  } else if (value.is_array()) {
    for (auto& member : value) found = hidePasswords(member) || found;
  }
  return found;
}

bool mentionsPassword(std::string_view line) {
  std::string lower(line);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower.find("password") != std::string::npos;
}

}  // namespace

std::string redactRequestLine(std::string_view line) {
  Json parsed = Json::parse(line, nullptr, false);
  if (parsed.is_discarded()) {
    return mentionsPassword(line) ? "(a line that is not JSON and mentions a password; not shown)"
                                  : std::string(line);
  }
  if (!hidePasswords(parsed)) return std::string(line);
  return parsed.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string hideEchoedInput(std::string_view answerLine) {
  constexpr std::string_view kMarker = "last read: '";
  Json parsed = Json::parse(answerLine, nullptr, false);
  if (!parsed.is_object() || !parsed.contains("error") || !parsed["error"].is_string()) return std::string(answerLine);
  std::string error = parsed["error"].get<std::string>();
  const auto start = error.find(kMarker);
  if (start == std::string::npos) return std::string(answerLine);
  const auto from = start + kMarker.size();
  const auto end = error.rfind('\'');
  error.replace(from, end == std::string::npos || end < from ? std::string::npos : end - from, kHidden);
  parsed["error"] = error;
  return parsed.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool mayHoldPassword(std::string_view line) {
  if (mentionsPassword(line)) return true;
  Json parsed = Json::parse(line, nullptr, false);
  return !parsed.is_discarded() && hidePasswords(parsed);
}

void SecretScrubber::add(const std::string& secret) {
  if (secret.size() < kShortestScrubbed) return;
  const std::string escaped = Json(secret).dump(-1, ' ', false, Json::error_handler_t::replace);
  for (const std::string& form : {secret, escaped.substr(1, escaped.size() - 2)}) {
    if (std::find(forms_.begin(), forms_.end(), form) == forms_.end()) forms_.push_back(form);
  }
  // Longest first, so a form that contains another is replaced whole.
  std::sort(forms_.begin(), forms_.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
}

std::string SecretScrubber::scrub(std::string_view text) const {
  std::string result(text);
  for (const auto& form : forms_) {
    for (auto at = result.find(form); at != std::string::npos; at = result.find(form, at + kHidden.size())) {
      result.replace(at, form.size(), kHidden);
    }
  }
  return result;
}

}  // namespace tavirel::console
