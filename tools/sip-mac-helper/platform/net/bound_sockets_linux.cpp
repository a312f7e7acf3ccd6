#include "platform/net/bound_sockets.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>

namespace tavirel::platform {

bool isDatagramSocketBoundTo(int fd, std::uint16_t port) {
  int type = 0;
  socklen_t typeLength = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_DGRAM) return false;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port) == port;
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port) == port;
  return false;
}

std::optional<int> datagramSocketBoundTo(std::uint16_t port) {
  DIR* fds = ::opendir("/proc/self/fd");
  if (fds == nullptr) return std::nullopt;
  std::optional<int> found;
  while (const dirent* entry = ::readdir(fds)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == ::dirfd(fds)) continue;
    if (isDatagramSocketBoundTo(static_cast<int>(fd), port) && (!found || fd < *found)) found = static_cast<int>(fd);
  }
  ::closedir(fds);
  return found;
}

}  // namespace tavirel::platform
