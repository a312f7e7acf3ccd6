#include "engine/sip_intake.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>

#include "bridge/engine_queue.h"
#include "bridge/owned.h"
#include "engine/core_setup.h"
#include "platform/net/bound_sockets.h"

namespace tavirel::engine {
namespace {

// A readable socket is drained for at most this many datagrams or this
// long before the queue's other work gets its turn; the source fires again
// at once for the rest.
constexpr int kMostPerWake = 256;
constexpr auto kLongestWake = std::chrono::milliseconds(5);
// How often (in ticks) the watched descriptor is checked against the
// engine's port: the engine reopens its socket when the network changes.
constexpr unsigned kTicksPerCheck = 50;
// How many datagrams one screening may refuse before it lets other work run.
constexpr int kMostScreenedPerCall = 512;
// The largest UDP payload.
constexpr std::size_t kDatagramLimit = 65535;
// Wakes of stream connections between two ticks: plenty for any exchange of
// SIP, few enough that a connection the engine does not read cannot spin.
constexpr int kStreamWakesPerTick = 32;

std::string numericHost(const sockaddr_storage& source, socklen_t length) {
  sockaddr_storage plain = source;
  socklen_t plainLength = length;
  // A v4 peer on a dual-stack socket shows as ::ffff:a.b.c.d.
  if (source.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(source);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
      sockaddr_in v4{};
      v4.sin_family = AF_INET;
      v4.sin_port = v6.sin6_port;
      std::memcpy(&v4.sin_addr, &v6.sin6_addr.s6_addr[12], sizeof v4.sin_addr);
      std::memcpy(&plain, &v4, sizeof v4);
      plainLength = sizeof v4;
    }
  }
  char host[NI_MAXHOST];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&plain), plainLength, host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) != 0)
    return {};
  return host;
}

std::uint16_t engineUdpPort(LinphoneCore* core) {
  const Owned<LinphoneTransports> used(linphone_core_get_transports_used(core));
  const int port = used ? linphone_transports_get_udp_port(used.get()) : 0;
  return port > 0 && port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
}

// The socket being screened and its intake. The descriptor is compared
// from any thread; the intake is used only for a read of that descriptor,
// which the engine makes on the engine queue.
std::atomic<int> screenedFd{-1};
SipIntake* screeningIntake = nullptr;  // engine queue
// The intake of the engine's stream connections, and its queue.
std::atomic<SipIntake*> streamIntake{nullptr};
std::atomic<dispatch::SerialQueue*> streamQueue{nullptr};

SipIntake* intakeOnItsQueue() {
  dispatch::SerialQueue* queue = streamQueue.load(std::memory_order_acquire);
  return queue != nullptr && queue->isCurrent() ? streamIntake.load(std::memory_order_acquire) : nullptr;
}

constexpr std::string_view kKeepAlive = "\r\n\r\n";

}  // namespace

std::size_t screenEngineRead(int fd, char* data, std::size_t size, std::size_t capacity, const sockaddr* source,
                             socklen_t sourceLength) {
  if (fd < 0 || fd != screenedFd.load(std::memory_order_acquire) || screeningIntake == nullptr || source == nullptr)
    return size;
  const std::string_view datagram(data, std::min(size, capacity));
  if (screeningIntake->screen(datagram, source, sourceLength) == Intake::pass) return size;
  // The engine drops an empty keep-alive without a word.
  const std::size_t replaced = std::min(capacity, kKeepAlive.size());
  std::memcpy(data, kKeepAlive.data(), replaced);
  return replaced;
}

void engineConnected(int fd) {
  if (SipIntake* intake = intakeOnItsQueue()) intake->watchStream(fd);
}

void engineStreamEnded(int fd) {
  if (SipIntake* intake = intakeOnItsQueue()) intake->forgetStream(fd);
}

SipIntake::SipIntake(dispatch::SerialQueue& queue, LinphoneCore* core)
    : queue_(queue), core_(linphone_core_ref(core), linphone_core_unref) {
  streamQueue.store(&queue_, std::memory_order_release);
  streamIntake.store(this, std::memory_order_release);
}

SipIntake::~SipIntake() {
  SipIntake* self = this;
  streamIntake.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
  streams_.clear();
  stopWatching();
}

void SipIntake::watchStream(int fd) {
  assertOnEngineQueue();
  if (!platform::isStreamSocket(fd)) return;
  streams_.erase(fd);  // a number reused after the engine closed the last one
  Stream stream;
  stream.source = std::make_unique<dispatch::ReadSource>(queue_, fd, [this, fd] { streamReadable(fd); });
  if (!stream.source->resume()) return;
  (void)platform::streamPeerOf(fd, stream.peer);  // known once connected
  streams_.emplace(fd, std::move(stream));
}

void SipIntake::forgetStream(int fd) {
  assertOnEngineQueue();
  streams_.erase(fd);
}

void SipIntake::streamReadable(int fd) {
  assertOnEngineQueue();
  const auto it = streams_.find(fd);
  if (it == streams_.end()) return;
  if (streamWakesLeft_ <= 0) {
    it->second.source->cancel();  // the next tick resumes it
    it->second.paused = true;
    return;
  }
  --streamWakesLeft_;
  // May end this stream (and its entry): nothing of it is used after.
  linphone_core_iterate(core_.get());
}

// The engine closes its connections without telling us: an entry whose
// descriptor is no longer a stream to the same peer is stale.
void SipIntake::checkStreams() {
  for (auto it = streams_.begin(); it != streams_.end();) {
    sockaddr_storage peer{};
    const platform::StreamPeer state = platform::streamPeerOf(it->first, peer);
    Stream& stream = it->second;
    if (state == platform::StreamPeer::connected && stream.peer.ss_family == AF_UNSPEC) stream.peer = peer;
    const bool stale = state == platform::StreamPeer::gone ||
                       (state == platform::StreamPeer::connected && !platform::samePeer(peer, stream.peer)) ||
                       (state == platform::StreamPeer::connecting && stream.peer.ss_family != AF_UNSPEC);
    it = stale ? streams_.erase(it) : std::next(it);
  }
}

void SipIntake::setPolicy(IntakePolicy policy) {
  assertOnEngineQueue();
  policy_ = std::move(policy);
}

void SipIntake::tick() {
  assertOnEngineQueue();
  streamWakesLeft_ = kStreamWakesPerTick;
  for (auto& [fd, stream] : streams_) {
    if (stream.paused && stream.source->resume()) stream.paused = false;
  }
  if (ticksUntilCheck_ == 0) {
    ticksUntilCheck_ = kTicksPerCheck;
    flushEngineLog();
    checkStreams();
    const std::uint16_t port = engineUdpPort(core_.get());
    if (port != port_ || (fd_ >= 0 && !platform::isDatagramSocketBoundTo(fd_, port_))) stopWatching();
    port_ = port;
    if (fd_ < 0 && port_ != 0) watchEngineSocket();
  }
  --ticksUntilCheck_;
  // While a flood of refusals is still being worked off, the engine must
  // not read the next datagram unscreened; the read source goes on with it.
  if (fd_ >= 0 && screenHead() == Head::stillScreening) return;
  linphone_core_iterate(core_.get());
}

void SipIntake::watchEngineSocket() {
  const auto fd = platform::datagramSocketBoundTo(port_);
  if (!fd) return;
  auto source = std::make_unique<dispatch::ReadSource>(queue_, *fd, [this] { drain(); });
  if (!source->resume()) return;
  fd_ = *fd;
  source_ = std::move(source);
  screeningIntake = this;
  screenedFd.store(fd_, std::memory_order_release);
}

void SipIntake::stopWatching() {
  source_.reset();
  if (screeningIntake == this) {
    screenedFd.store(-1, std::memory_order_release);
    screeningIntake = nullptr;
  }
  fd_ = -1;
}

Intake SipIntake::screen(std::string_view datagram, const sockaddr* source, socklen_t sourceLength) {
  sockaddr_storage from{};
  std::memcpy(&from, source, std::min<std::size_t>(sourceLength, sizeof from));
  const Intake intake = screenDatagram(policy_, datagram, numericHost(from, sourceLength));
  if (intake == Intake::pass) return intake;
  ++(intake == Intake::refuse ? refused_ : dropped_);
  // To the address it came from, never to one its Via names: a forged Via
  // must not turn us into a reflector.
  if (const auto answer = intake == Intake::refuse ? forbiddenResponse(datagram) : std::nullopt)
    (void)::sendto(fd_, answer->data(), answer->size(), MSG_DONTWAIT, source, sourceLength);
  return intake;
}

void SipIntake::drain() {
  assertOnEngineQueue();
  if (fd_ < 0) return;
  if (!platform::isDatagramSocketBoundTo(fd_, port_)) {
    // Closed and reused: the next tick looks for the engine's socket again.
    stopWatching();
    ticksUntilCheck_ = 0;
    return;
  }
  const auto until = dispatch::Clock::now() + kLongestWake;
  for (int i = 0; i < kMostPerWake && dispatch::Clock::now() < until; ++i) {
    if (screenHead() != Head::forEngine) return;
    linphone_core_iterate(core_.get());
  }
}

SipIntake::Head SipIntake::screenHead() {
  if (buffer_.empty()) buffer_.resize(kDatagramLimit);
  for (int round = 0; round < kMostScreenedPerCall; ++round) {
    sockaddr_storage source{};
    socklen_t length = sizeof source;
    // MSG_TRUNC: the size of the whole datagram, however much was copied.
    const ssize_t size = ::recvfrom(fd_, buffer_.data(), buffer_.size(), MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC,
                                    reinterpret_cast<sockaddr*>(&source), &length);
    if (size < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Head::empty;
      continue;  // a queued error (an ICMP refusal) is cleared by reading it
    }
    const std::string_view datagram(buffer_.data(), std::min(static_cast<std::size_t>(size), buffer_.size()));
    if (screen(datagram, reinterpret_cast<const sockaddr*>(&source), length) == Intake::pass) return Head::forEngine;
    (void)::recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);  // the datagram just peeked
  }
  return Head::stillScreening;
}

}  // namespace tavirel::engine
