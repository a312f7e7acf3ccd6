#include "platform/net/bound_sockets.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tavirel::platform {

namespace {

bool hasSocketType(int fd, int wanted) {
  int type = 0;
  socklen_t typeLength = sizeof type;
  return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 && type == wanted;
}

}  // namespace

bool isStreamSocket(int fd) { return hasSocketType(fd, SOCK_STREAM); }

StreamPeer streamPeerOf(int fd, sockaddr_storage& peer) {
  if (!isStreamSocket(fd)) return StreamPeer::gone;
  socklen_t length = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0) return StreamPeer::connected;
  return errno == ENOTCONN ? StreamPeer::connecting : StreamPeer::gone;
}

bool samePeer(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET) {
    const auto& x = reinterpret_cast<const sockaddr_in&>(a);
    const auto& y = reinterpret_cast<const sockaddr_in&>(b);
    return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
  }
  if (a.ss_family == AF_INET6) {
    const auto& x = reinterpret_cast<const sockaddr_in6&>(a);
    const auto& y = reinterpret_cast<const sockaddr_in6&>(b);
    return x.sin6_port == y.sin6_port && std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
  }
  return false;
}

bool isDatagramSocketBoundTo(int fd, std::uint16_t port) {
  if (!hasSocketType(fd, SOCK_DGRAM)) return false;
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
