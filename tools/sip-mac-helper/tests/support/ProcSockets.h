// The ports a process has bound, read from /proc: its sockets' inodes from
// /proc/PID/fd, their local ports from the kernel's tables.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace tavirel::test {

// Local ports of `pid`'s sockets in /proc/PID/net/`table` ("udp", "tcp"),
// in the table's order; with `state` ("0A": listening) only those in it.
std::vector<std::uint16_t> boundPorts(pid_t pid, std::string_view table, std::string_view state = {});

}  // namespace tavirel::test
