// How SIP input reaches the engine. liblinphone reads at most one datagram
// of its SIP socket per iteration, so iterating only on the 20 ms tick reads
// 50 a second: every hop of a call set-up waits for the next tick, and a
// burst of traffic fills the socket until the kernel drops a real INVITE or
// ACK among it. The intake also iterates whenever that socket is readable,
// until it is empty, and screens each datagram at the head of the socket
// before the engine may read it (engine/sip_screen.h); what arrives while
// the engine runs is screened in the engine's read itself
// (sip_socket_guard.cpp). Stream connections (TCP, TLS) have no datagrams
// to screen, but their input iterates the engine the same way.
//
// Everything here runs on the engine queue: the tick, the read handler and
// the policy change, so the engine is still touched from that queue alone.
#pragma once

#include <linphone/core.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/sip_screen.h"
#include "platform/dispatch/dispatch.h"

namespace tavirel::engine {

// For the program's own definition of the engine's datagram read
// (sip_socket_guard.cpp): screens `size` bytes just read into `data`
// (which holds `capacity`) from `source`. Returns the size the engine is to
// see: `size` for a datagram it may read, or that of an empty keep-alive
// put in its place (after a refused INVITE has been answered). Any thread;
// reads of sockets other than the screened one are left alone.
std::size_t screenEngineRead(int fd, char* data, std::size_t size, std::size_t capacity, const sockaddr* source,
                             socklen_t sourceLength);

// For the program's own definitions of the engine's stream calls
// (sip_socket_guard.cpp): the engine connected `fd` (TCP or TLS toward the
// registrar), or read the end of its stream or an error there. Only calls
// made on the engine queue count; the rest are left alone.
void engineConnected(int fd);
void engineStreamEnded(int fd);

class SipIntake {
 public:
  SipIntake(dispatch::SerialQueue& queue, LinphoneCore* core);
  ~SipIntake();
  SipIntake(const SipIntake&) = delete;
  SipIntake& operator=(const SipIntake&) = delete;

  // One tick: screen what waits, iterate the engine once, and now and then
  // check that the watched socket is still the engine's.
  void tick();
  void setPolicy(IntakePolicy policy);
  const IntakePolicy& policy() const { return policy_; }

  // The screening of one datagram, wherever it was read: the verdict, with
  // the refusal sent.
  Intake screen(std::string_view datagram, const sockaddr* source, socklen_t sourceLength);

  // Input on a stream connection of the engine iterates it as a datagram
  // does, so that SIP over TCP and TLS does not wait for the next tick
  // either; at most a few times a tick, so that a connection the engine
  // leaves unread cannot keep the queue spinning. Engine queue.
  void watchStream(int fd);
  void forgetStream(int fd);

  // New INVITEs refused, and datagrams dropped, so far.
  std::uint64_t refusedCount() const { return refused_; }
  std::uint64_t droppedCount() const { return dropped_; }

 private:
  void drain();
  // Refuses what the policy refuses at the head of the socket and says what
  // is left there.
  enum class Head { empty, forEngine, stillScreening };
  Head screenHead();
  void watchEngineSocket();
  void stopWatching();
  void streamReadable(int fd);
  void checkStreams();

  struct Stream {
    std::unique_ptr<dispatch::ReadSource> source;
    sockaddr_storage peer{};
    bool paused = false;  // out of wakes until the next tick
  };

  dispatch::SerialQueue& queue_;
  std::shared_ptr<LinphoneCore> core_;
  IntakePolicy policy_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::unique_ptr<dispatch::ReadSource> source_;
  std::vector<char> buffer_;
  unsigned ticksUntilCheck_ = 0;
  std::uint64_t refused_ = 0;
  std::uint64_t dropped_ = 0;
  std::unordered_map<int, Stream> streams_;
  int streamWakesLeft_ = 0;
};

}  // namespace tavirel::engine
