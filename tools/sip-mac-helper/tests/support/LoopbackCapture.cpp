#include "LoopbackCapture.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <stdexcept>

#include "G711.h"

namespace tavirel::test {
namespace {

constexpr std::size_t kRtpHeader = 12;

// The share of the samples' energy at `hz` (Goertzel, 8 kHz).
double toneShare(const std::vector<double>& samples, double hz) {
  const double coefficient = 2.0 * std::cos(2.0 * M_PI * hz / 8000.0);
  double previous = 0, beforePrevious = 0, energy = 0;
  for (const double sample : samples) {
    const double current = sample + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
    energy += sample * sample;
  }
  if (energy <= 0) return 0;
  const double power = previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
  return 2.0 * power / (static_cast<double>(samples.size()) * energy);
}

}  // namespace

LoopbackCapture::LoopbackCapture() {
  fd_ = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
  if (fd_ < 0) throw std::runtime_error("cannot open a packet socket (run as root in the test namespace)");
  sockaddr_ll local{};
  local.sll_family = AF_PACKET;
  local.sll_protocol = htons(ETH_P_IP);
  local.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
  if (local.sll_ifindex == 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd_);
    throw std::runtime_error("cannot bind a packet socket to lo");
  }
  reader_ = std::thread([this] { run(); });
}

LoopbackCapture::~LoopbackCapture() {
  stopping_ = true;
  reader_.join();
  ::close(fd_);
}

std::vector<CapturedPacket> LoopbackCapture::packets() const {
  std::lock_guard guard(lock_);
  return packets_;
}

void LoopbackCapture::run() {
  std::array<unsigned char, 65536> buffer{};
  while (!stopping_) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    sockaddr_ll from{};
    socklen_t fromLength = sizeof from;
    const ssize_t got = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    // Loopback shows each packet leaving and arriving; keep it once.
    if (got < static_cast<ssize_t>(sizeof(iphdr)) || from.sll_pkttype == PACKET_OUTGOING) continue;
    const auto* ip = reinterpret_cast<const iphdr*>(buffer.data());
    const std::size_t ipLength = ip->ihl * 4u;
    const std::size_t total = std::min<std::size_t>(ntohs(ip->tot_len), static_cast<std::size_t>(got));
    CapturedPacket packet;
    std::size_t payloadAt = 0;
    if (ip->protocol == IPPROTO_UDP && total >= ipLength + sizeof(udphdr)) {
      const auto* udp = reinterpret_cast<const udphdr*>(buffer.data() + ipLength);
      packet.sourcePort = ntohs(udp->source);
      packet.destinationPort = ntohs(udp->dest);
      payloadAt = ipLength + sizeof(udphdr);
    } else if (ip->protocol == IPPROTO_TCP && total >= ipLength + sizeof(tcphdr)) {
      const auto* tcp = reinterpret_cast<const tcphdr*>(buffer.data() + ipLength);
      packet.tcp = true;
      packet.sourcePort = ntohs(tcp->source);
      packet.destinationPort = ntohs(tcp->dest);
      payloadAt = ipLength + tcp->doff * 4u;
    } else {
      continue;
    }
    if (payloadAt > total) continue;
    packet.payload.assign(reinterpret_cast<const char*>(buffer.data() + payloadAt), total - payloadAt);
    std::lock_guard guard(lock_);
    packets_.push_back(std::move(packet));
  }
}

bool isClearG711(const std::string& payload, double toneHz) {
  if (payload.size() < kRtpHeader + 80) return false;
  const auto first = static_cast<unsigned char>(payload[0]);
  const int payloadType = static_cast<unsigned char>(payload[1]) & 0x7f;
  if ((first >> 6) != 2 || (payloadType != 0 && payloadType != 8)) return false;
  std::array<std::size_t, 256> counts{};
  for (std::size_t i = kRtpHeader; i < payload.size(); ++i) ++counts[static_cast<unsigned char>(payload[i])];
  std::size_t most = 0;
  for (const std::size_t count : counts) most = std::max(most, count);
  if (most * 4 > payload.size() - kRtpHeader) return true;
  std::vector<double> samples;
  for (std::size_t i = kRtpHeader; i < payload.size(); ++i) {
    const auto code = static_cast<unsigned char>(payload[i]);
    samples.push_back(payloadType == 0 ? muLawToLinear(code) : aLawToLinear(code));
  }
  return toneShare(samples, toneHz) > 0.25;
}

}  // namespace tavirel::test
