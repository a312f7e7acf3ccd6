// Finding a library's own sockets by the port they are bound to: the SIP
// engine opens and owns its listening socket and tells us only its port,
// yet the helper must know when it is readable.
#pragma once

#include <cstdint>
#include <optional>

namespace tavirel::platform {

// The descriptor of this process's IPv4 or IPv6 datagram socket bound to
// local `port`, if there is one (the lowest-numbered when several are).
std::optional<int> datagramSocketBoundTo(std::uint16_t port);

// Whether `fd` is still a datagram socket bound to local `port`; a closed
// descriptor may have been reused for something else.
bool isDatagramSocketBoundTo(int fd, std::uint16_t port);

}  // namespace tavirel::platform
