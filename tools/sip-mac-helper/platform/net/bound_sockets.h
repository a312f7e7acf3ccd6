// Finding a library's own sockets by the port they are bound to, and
// telling what a socket it owns has become: the SIP engine opens and owns
// its sockets and tells us only its port, yet the helper must know when
// they are readable and when one has gone.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>

namespace tavirel::platform {

// The descriptor of this process's IPv4 or IPv6 datagram socket bound to
// local `port`, if there is one (the lowest-numbered when several are).
std::optional<int> datagramSocketBoundTo(std::uint16_t port);

// Whether `fd` is still a datagram socket bound to local `port`; a closed
// descriptor may have been reused for something else.
bool isDatagramSocketBoundTo(int fd, std::uint16_t port);

// Whether `fd` is a stream (TCP) socket.
bool isStreamSocket(int fd);

// Where stream socket `fd` stands, its peer written to `peer` once it is
// connected; `gone` for a descriptor that is no stream socket (any more).
enum class StreamPeer { connected, connecting, gone };
StreamPeer streamPeerOf(int fd, sockaddr_storage& peer);

// Whether two IPv4 or IPv6 socket addresses are the same address and port.
bool samePeer(const sockaddr_storage& a, const sockaddr_storage& b);

}  // namespace tavirel::platform
