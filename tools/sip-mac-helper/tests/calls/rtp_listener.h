// The far end of a call's media for the end-to-end tests: a UDP socket on
// 127.0.0.1 that records every RTP packet a helper sends to it, so a test can
// check what really went over the wire (RFC 2833 telephone events, silence
// while muted) instead of trusting the sender's own trace.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Deadline.h"

namespace tavirel::test {

struct RtpPacket {
  Clock::time_point received;
  int payloadType = 0;
  bool marker = false;
  std::uint16_t sequence = 0;
  std::uint32_t timestamp = 0;
  std::vector<std::uint8_t> payload;
};

// One RFC 2833 telephone-event payload.
struct TelephoneEvent {
  int event = 0;  // 0-9 digits, 10 '*', 11 '#', 12-15 'A'-'D'
  bool end = false;
  int volume = 0;
  int duration = 0;
};

// Null when the payload is not four bytes long.
std::optional<TelephoneEvent> parseTelephoneEvent(const std::vector<std::uint8_t>& payload);

// Root mean square of G.711 mu-law samples, on the 16-bit linear scale.
double muLawRms(const std::vector<std::uint8_t>& payload);

class RtpListener {
 public:
  // Binds a free port on 127.0.0.1 and starts recording. Throws
  // std::runtime_error when no socket can be bound.
  RtpListener();
  // Stops the reader thread and closes the socket.
  ~RtpListener();
  RtpListener(const RtpListener&) = delete;
  RtpListener& operator=(const RtpListener&) = delete;

  std::uint16_t port() const { return port_; }
  // Every packet so far, in arrival order (datagrams that are not RTP are
  // left out).
  std::vector<RtpPacket> packets() const;
  // Packets received at or after `since`.
  std::vector<RtpPacket> packetsSince(Clock::time_point since) const;

 private:
  void run();

  int fd_ = -1;
  int wakeFd_ = -1;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<RtpPacket> packets_;  // guarded by mutex_
  std::thread reader_;
};

}  // namespace tavirel::test
