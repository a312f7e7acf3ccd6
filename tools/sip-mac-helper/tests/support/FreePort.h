// Free loopback ports for servers started by a test.
//
// The port is found by binding port 0 on 127.0.0.1 and closing the socket
// again, so another process can take it before the server binds it. Callers
// that start a server on it should retry with a fresh port when the server
// reports that the address is in use.
#pragma once

#include <cstdint>

namespace tavirel::test {

// A UDP port on 127.0.0.1 that was free a moment ago. Throws
// std::runtime_error when no socket can be bound.
std::uint16_t freeUdpPort();

// The same for TCP.
std::uint16_t freeTcpPort();

}  // namespace tavirel::test
