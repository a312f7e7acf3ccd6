// Whether a PID still names a live process, for checks that fixtures really
// ended what they started. A zombie counts as gone: it runs nothing and
// holds no port, and its reaping is up to whoever inherited it.
#pragma once

#include <sys/types.h>

#include <fstream>
#include <string>

namespace tavirel::test {

inline bool processAlive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return false;
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

}  // namespace tavirel::test
