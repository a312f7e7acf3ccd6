#include "FreePort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tavirel::test {
namespace {

std::uint16_t bindAnyPort(int type) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    int error = errno;
    ::close(fd);
    throw std::runtime_error(std::string("bind 127.0.0.1:0: ") + std::strerror(error));
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace

std::uint16_t freeUdpPort() { return bindAnyPort(SOCK_DGRAM); }

std::uint16_t freeTcpPort() { return bindAnyPort(SOCK_STREAM); }

}  // namespace tavirel::test
