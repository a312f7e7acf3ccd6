#include "ProcSockets.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace tavirel::test {

std::vector<std::uint16_t> boundPorts(pid_t pid, std::string_view table, std::string_view state) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::set<std::string> inodes;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", error)) {
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (!error && target.starts_with("socket:[")) inodes.insert(target.substr(8, target.size() - 9));
  }
  std::vector<std::uint16_t> ports;
  std::ifstream rows(proc + "/net/" + std::string(table));
  std::string line;
  std::getline(rows, line);  // the heading
  while (std::getline(rows, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, rowState, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> rowState >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (!inodes.contains(inode) || (!state.empty() && rowState != state)) continue;
    ports.push_back(static_cast<std::uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16)));
  }
  return ports;
}

}  // namespace tavirel::test
