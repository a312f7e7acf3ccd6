// Every datagram the engine reads from its SIP socket passes the intake's
// screen (engine/sip_intake.h). The intake screens what waits at the head
// of the socket before it iterates the engine, but a datagram that arrives
// while the engine runs would reach it unscreened; so the engine's read
// itself, bctoolbox's recvfrom that belle-sip calls, is this definition:
// the engine's own read, then the screen. A refused or dropped datagram
// reaches the engine as an empty keep-alive, which it discards.
//
// Its stream connections (TCP, TLS) are not screened, but their input must
// iterate the engine as soon as it arrives too: the engine's connect tells
// the intake which descriptor to watch, and its read, which one has ended.
//
// The engine calls these functions through its dynamic symbol table, so
// these definitions, exported by the program, are the ones it reaches.
// Reads of every other socket, and peeks, go on unchanged.
#include <bctoolbox/port.h>
#include <bctoolbox/vconnect.h>
#include <sys/socket.h>

#include <cerrno>

#include "engine/engine_guards.h"
#include "engine/sip_intake.h"

namespace {

using RecvFrom = ssize_t (*)(bctbx_socket_t, void*, size_t, int, sockaddr*, socklen_t*);

RecvFrom engineRecvFrom() {
  static const auto engine = tavirel::engine::engineDefinitionAs<RecvFrom>("bctbx_recvfrom");
  return engine;
}

}  // namespace

extern "C" ssize_t bctbx_recvfrom(bctbx_socket_t socket, void* buffer, size_t length, int flags, sockaddr* address,
                                  socklen_t* addressLength) {
  const ssize_t size = engineRecvFrom()(socket, buffer, length, flags, address, addressLength);
  if (size <= 0 || (flags & MSG_PEEK) != 0 || address == nullptr || addressLength == nullptr) return size;
  return static_cast<ssize_t>(tavirel::engine::screenEngineRead(socket, static_cast<char*>(buffer),
                                                                static_cast<std::size_t>(size), length, address,
                                                                *addressLength));
}

extern "C" int bctbx_connect(bctbx_socket_t socket, const sockaddr* address, socklen_t addressLength) {
  using Own = int (*)(bctbx_socket_t, const sockaddr*, socklen_t);
  static const auto own = tavirel::engine::engineDefinitionAs<Own>("bctbx_connect");
  const int result = own(socket, address, addressLength);
  if (result == 0 || errno == EINPROGRESS) tavirel::engine::engineConnected(socket);
  return result;
}

extern "C" ssize_t bctbx_recv(bctbx_socket_t socket, void* buffer, size_t length, int flags) {
  using Own = ssize_t (*)(bctbx_socket_t, void*, size_t, int);
  static const auto own = tavirel::engine::engineDefinitionAs<Own>("bctbx_recv");
  const ssize_t size = own(socket, buffer, length, flags);
  if (size == 0 || (size < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    const int saved = errno;
    tavirel::engine::engineStreamEnded(socket);
    errno = saved;
  }
  return size;
}

namespace {
// INITIALIZE checks that the engine's calls reach these definitions.
const bool registered = [] {
  using tavirel::engine::registerEngineGuard;
  registerEngineGuard("bctbx_recvfrom", reinterpret_cast<const void*>(&bctbx_recvfrom));
  registerEngineGuard("bctbx_connect", reinterpret_cast<const void*>(&bctbx_connect));
  registerEngineGuard("bctbx_recv", reinterpret_cast<const void*>(&bctbx_recv));
  return true;
}();
}  // namespace
