#include "rtp_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "G711.h"

namespace tavirel::test {
namespace {

std::optional<RtpPacket> parseRtp(const std::uint8_t* data, std::size_t size) {
  if (size < 12 || (data[0] >> 6) != 2) return std::nullopt;
  const bool padding = (data[0] & 0x20) != 0;
  const bool extension = (data[0] & 0x10) != 0;
  const std::size_t csrcCount = data[0] & 0x0F;
  std::size_t offset = 12 + 4 * csrcCount;
  if (extension) {
    if (size < offset + 4) return std::nullopt;
    const std::size_t words = (static_cast<std::size_t>(data[offset + 2]) << 8) | data[offset + 3];
    offset += 4 + 4 * words;
  }
  std::size_t end = size;
  if (padding && size > 0) end -= data[size - 1];
  if (offset > end) return std::nullopt;
  RtpPacket packet;
  packet.received = Clock::now();
  packet.marker = (data[1] & 0x80) != 0;
  packet.payloadType = data[1] & 0x7F;
  packet.sequence = static_cast<std::uint16_t>((data[2] << 8) | data[3]);
  packet.timestamp = (static_cast<std::uint32_t>(data[4]) << 24) | (data[5] << 16) | (data[6] << 8) | data[7];
  packet.payload.assign(data + offset, data + end);
  return packet;
}

}  // namespace

std::optional<TelephoneEvent> parseTelephoneEvent(const std::vector<std::uint8_t>& payload) {
  if (payload.size() != 4) return std::nullopt;
  return TelephoneEvent{payload[0], (payload[1] & 0x80) != 0, payload[1] & 0x3F,
                        (payload[2] << 8) | payload[3]};
}

double muLawRms(const std::vector<std::uint8_t>& payload) {
  if (payload.empty()) return 0;
  double sum = 0;
  for (std::uint8_t code : payload) {
    const double sample = muLawToLinear(code);
    sum += sample * sample;
  }
  return std::sqrt(sum / static_cast<double>(payload.size()));
}

RtpListener::RtpListener() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("RTP socket: " + std::string(std::strerror(errno)));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const std::string reason = std::strerror(errno);
    ::close(fd_);
    throw std::runtime_error("RTP bind: " + reason);
  }
  port_ = ntohs(address.sin_port);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  reader_ = std::thread([this] { run(); });
}

RtpListener::~RtpListener() {
  const std::uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
  reader_.join();
  ::close(wakeFd_);
  ::close(fd_);
}

void RtpListener::run() {
  std::vector<std::uint8_t> buffer(65536);
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const ssize_t size = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (size <= 0) continue;
    if (auto packet = parseRtp(buffer.data(), static_cast<std::size_t>(size))) {
      std::lock_guard lock(mutex_);
      packets_.push_back(std::move(*packet));
    }
  }
}

std::vector<RtpPacket> RtpListener::packets() const {
  std::lock_guard lock(mutex_);
  return packets_;
}

std::vector<RtpPacket> RtpListener::packetsSince(Clock::time_point since) const {
  std::lock_guard lock(mutex_);
  std::vector<RtpPacket> recent;
  for (const RtpPacket& packet : packets_)
    if (packet.received >= since) recent.push_back(packet);
  return recent;
}

}  // namespace tavirel::test
