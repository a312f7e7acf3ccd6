// Every datagram the engine reads from its SIP socket passes the intake's
// screen (engine/sip_intake.h). The intake screens what waits at the head
// of the socket before it iterates the engine, but a datagram that arrives
// while the engine runs would reach it unscreened; so the engine's read
// itself, bctoolbox's recvfrom that belle-sip calls, is this definition:
// the engine's own read, then the screen. A refused or dropped datagram
// reaches the engine as an empty keep-alive, which it discards.
//
// The engine calls the function through its dynamic symbol table, so this
// definition, exported by the program, is the one it reaches. Reads of
// every other socket, and peeks, go on unchanged.
#include <bctoolbox/port.h>
#include <sys/socket.h>

#include "engine/engine_guards.h"
#include "engine/sip_intake.h"

namespace {

using RecvFrom = ssize_t (*)(bctbx_socket_t, void*, size_t, int, sockaddr*, socklen_t*);

RecvFrom engineRecvFrom() {
  static const auto engine = reinterpret_cast<RecvFrom>(tavirel::engine::engineDefinition("bctbx_recvfrom"));
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

namespace {
// INITIALIZE checks that the engine's calls reach this definition.
const bool registered = (tavirel::engine::registerEngineGuard("bctbx_recvfrom",
                                                              reinterpret_cast<const void*>(&bctbx_recvfrom)),
                         true);
}  // namespace
