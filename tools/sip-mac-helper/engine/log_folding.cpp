#include "engine/log_folding.h"

#include <cctype>

namespace tavirel::engine {

std::string LogFolder::foldingKey(std::string_view line) {
  std::string key;
  key.reserve(line.size());
  for (std::size_t at = 0; at < line.size();) {
    if (!std::isalnum(static_cast<unsigned char>(line[at]))) {
      key += line[at++];
      continue;
    }
    std::size_t end = at;
    bool digit = false;
    for (; end < line.size() && std::isalnum(static_cast<unsigned char>(line[end])); ++end)
      if (std::isdigit(static_cast<unsigned char>(line[end]))) digit = true;
    if (digit) key += '#';
    else key.append(line, at, end - at);
    at = end;
  }
  return key;
}

std::string LogFolder::countLine(const Text& text) {
  return text.lastLeft + " (" + std::to_string(text.left) + " more in the last " +
         std::to_string(kInterval.count()) + " s)\n";
}

std::vector<std::string> LogFolder::admit(const std::string& line, Clock::time_point now) {
  std::vector<std::string> out;
  std::lock_guard lock(mutex_);
  if (texts_.size() >= kMostTexts) forgetQuietTexts(now);
  std::string key = texts_.size() >= kMostTexts ? std::string() : foldingKey(line);
  Text& text = texts_[std::move(key)];
  if (text.written == 0 && text.left == 0) text.intervalStart = now;
  if (now - text.intervalStart >= kInterval) {
    if (text.left > 0) out.push_back(countLine(text));
    text = Text{now, 0, 0, {}};
  }
  if (text.written < kBurst) {
    ++text.written;
    out.push_back(line);
  } else {
    ++text.left;
    text.lastLeft.assign(line, 0, line.empty() || line.back() != '\n' ? line.size() : line.size() - 1);
  }
  return out;
}

std::vector<std::string> LogFolder::flush(Clock::time_point now) {
  std::vector<std::string> out;
  std::lock_guard lock(mutex_);
  for (auto& [key, text] : texts_) {
    if (now - text.intervalStart < kInterval || text.left == 0) continue;
    out.push_back(countLine(text));
    // The next interval starts with the next line, which is written again.
    text = Text{now, 0, 0, {}};
  }
  forgetQuietTexts(now);
  return out;
}

void LogFolder::forgetQuietTexts(Clock::time_point now) {
  std::erase_if(texts_, [&](const auto& entry) {
    return entry.second.left == 0 && now - entry.second.intervalStart >= kInterval;
  });
}

}  // namespace tavirel::engine
