// What really crosses the loopback interface while it runs: every IPv4 TCP
// and UDP packet on lo, captured with a packet socket (the suite runs as
// root inside its own network namespace), so a test can check that nothing
// readable went over the wire.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavirel::test {

struct CapturedPacket {
  bool tcp = false;  // else UDP
  std::uint16_t sourcePort = 0;
  std::uint16_t destinationPort = 0;
  std::string payload;  // the transport's payload
};

class LoopbackCapture {
 public:
  // Starts capturing. Throws std::runtime_error when no packet socket can
  // be opened on lo.
  LoopbackCapture();
  ~LoopbackCapture();
  LoopbackCapture(const LoopbackCapture&) = delete;
  LoopbackCapture& operator=(const LoopbackCapture&) = delete;

  // Every packet so far, each once, in order.
  std::vector<CapturedPacket> packets() const;

 private:
  void run();

  int fd_ = -1;
  std::atomic<bool> stopping_{false};
  mutable std::mutex lock_;
  std::vector<CapturedPacket> packets_;
  std::thread reader_;
};

// Whether `payload` is an RTP packet of a G.711 call (version 2, payload
// type 0 or 8) whose samples are readable as they stand: one byte value
// makes up most of it (silence), or decoded, most of its energy is at
// `toneHz` (a known tone). Encrypted media looks like noise and does
// neither.
bool isClearG711(const std::string& payload, double toneHz = 440.0);

}  // namespace tavirel::test
