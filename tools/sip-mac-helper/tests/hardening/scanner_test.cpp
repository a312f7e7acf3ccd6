// Strangers on the network, end to end: a SIP scanner on another address
// (127.0.0.2, inside the test's namespace) sends straight to a registered
// helper's port what scanners send - OPTIONS, INVITEs from made-up users,
// garbage - while a real party calls through the registrar. The helper must
// ring for the real call only, answer the scanner at its own pace and stay
// responsive.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "HelperClient.h"
#include "Kamailio.h"
#include "Parties.h"
#include "ProcSockets.h"
#include "PulseAudio.h"

namespace tavirel::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kScannerHost = "127.0.0.2";

// A UDP socket on the scanner's address that sends to one helper's port.
class Scanner {
 public:
  explicit Scanner(std::uint16_t target) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0)) {
    if (fd_ < 0) throw std::runtime_error("scanner socket");
    const int buffer = 8 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, kScannerHost, &local.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) throw std::runtime_error("scanner bind");
    socklen_t length = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
    target_.sin_family = AF_INET;
    target_.sin_port = htons(target);
    ::inet_pton(AF_INET, "127.0.0.1", &target_.sin_addr);
  }
  ~Scanner() { ::close(fd_); }

  void send(const std::string& datagram) const {
    (void)::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&target_),
                   sizeof target_);
  }

  // Reads every answer waiting and counts those that begin with `status`.
  std::size_t collect(std::string_view status) {
    char buffer[65536];
    std::size_t counted = 0;
    for (;;) {
      const ssize_t size = ::recv(fd_, buffer, sizeof buffer, 0);
      if (size <= 0) return counted;
      const std::string_view answer(buffer, static_cast<std::size_t>(size));
      answers_.emplace_back(answer.substr(0, answer.find('\r')));
      if (answer.starts_with(status)) ++counted;
    }
  }
  // Waits (bounded) for one answer beginning with `status`.
  bool awaitAnswer(std::string_view status, Clock::duration timeout) {
    return pollUntil([&] { return collect(status) > 0; }, deadlineAfter(timeout), 5ms);
  }
  const std::vector<std::string>& answerLines() const { return answers_; }

  std::uint16_t port() const { return port_; }

  std::string invite(const std::string& caller, std::uint16_t target, const std::string& viaHost,
                     std::uint16_t viaPort, unsigned n) const {
    const std::string sdp =
        "v=0\r\no=- 1 1 IN IP4 127.0.0.2\r\ns=-\r\nc=IN IP4 127.0.0.2\r\nt=0 0\r\n"
        "m=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
    return "INVITE sip:alice@127.0.0.1:" + std::to_string(target) + " SIP/2.0\r\n" +
           "Via: SIP/2.0/UDP " + viaHost + ":" + std::to_string(viaPort) + ";branch=z9hG4bKscan" +
           std::to_string(n) + ";rport\r\n" + "From: <sip:" + caller + ">;tag=s" + std::to_string(n) + "\r\n" +
           "To: <sip:alice@127.0.0.1>\r\nCall-ID: scan-" + std::to_string(n) + "@127.0.0.2\r\n" +
           "CSeq: 1 INVITE\r\nMax-Forwards: 70\r\nContact: <sip:" + caller + ">\r\n" +
           "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
  }

  std::string options(std::uint16_t target, unsigned n) const {
    return "OPTIONS sip:alice@127.0.0.1:" + std::to_string(target) + " SIP/2.0\r\n" +
           "Via: SIP/2.0/UDP 127.0.0.2:" + std::to_string(port_) + ";branch=z9hG4bKopt" + std::to_string(n) +
           "\r\nFrom: <sip:scan@127.0.0.2>;tag=o" + std::to_string(n) +
           "\r\nTo: <sip:alice@127.0.0.1>\r\nCall-ID: opt-" + std::to_string(n) +
           "@127.0.0.2\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
  }

 private:
  int fd_;
  std::uint16_t port_ = 0;
  sockaddr_in target_{};
  std::vector<std::string> answers_;
};

bool succeeded(const json& response) { return response.value("success", false); }

json registerAs(HelperClient& helper, const Kamailio& registrar, const std::string& user, bool acceptDirect) {
  return helper.request("REGISTER", {{"sipAccount", user},
                                     {"sipPassword", Kamailio::user(user).password},
                                     {"server", registrar.server()},
                                     {"acceptDirectCalls", acceptDirect}});
}

std::size_t residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("VmRSS:")) return std::stoul(line.substr(6));
  return 0;
}

struct Registered {
  Kamailio registrar;
  PulseAudio pulse;
  std::unique_ptr<HelperClient> alice = startRegisteredHelper(registrar, &pulse, "alice");
};

// The real call rings; neither a stranger's INVITE nor one forged to name
// the registrar in its Via and From does, and each is answered 403.
TEST(DirectCalls, AStrangersInviteIsRefusedBeforeItRingsAndTheRegistrarsCallRings) {
  Registered parties;
  HelperClient& alice = *parties.alice;
  Scanner scanner(parties.registrar.contactPort("alice"));
  const std::uint16_t target = parties.registrar.contactPort("alice");

  scanner.send(scanner.invite("46573788@127.0.0.2", target, kScannerHost, scanner.port(), 1));
  EXPECT_TRUE(scanner.awaitAnswer("SIP/2.0 403", 5s)) << alice.stderrText();
  const std::string forgedFrom = "bob@" + parties.registrar.server();
  scanner.send(scanner.invite(forgedFrom, target, parties.registrar.host(), parties.registrar.port(), 2));
  EXPECT_TRUE(scanner.awaitAnswer("SIP/2.0 403", 5s));

  // Nothing of either call shows, for as long as a ring would take to show.
  const auto quietUntil = deadlineAfter(1500ms);
  while (Clock::now() < quietUntil) {
    const json state = alice.query("GET_CALL_STATE");
    ASSERT_EQ(state, (json{{"state", "idle"}, {"remoteAddress", ""}, {"callLogStatus", "none"}}));
    ASSERT_FALSE(alice.query("IS_IN_CALL").at("inCall").get<bool>());
    std::this_thread::sleep_for(50ms);
  }

  auto bob = startRegisteredHelper(parties.registrar, &parties.pulse, "bob");
  ASSERT_TRUE(succeeded(bob->request("MAKE_CALL", {{"target", parties.registrar.uri("alice")}})));
  EXPECT_TRUE(alice.waitForState("GET_CALL_STATE", "incomingReceived", 10s).satisfied) << alice.stderrText();
}

// One INVITE over a TCP connection from the scanner's address, its Via
// naming `viaSentBy` (empty: the connection's own address); the status line
// of the final answer, or "" when none came.
std::string inviteOverTcp(std::uint16_t port, const std::string& viaSentBy, unsigned n) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, kScannerHost, &local.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  std::string status;
  socklen_t localLength = sizeof local;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    // rport: the answer comes back over this connection, whatever the Via names.
    const std::string sentBy = viaSentBy.empty() ? std::string(kScannerHost) + ":" + std::to_string(ntohs(local.sin_port))
                                                 : viaSentBy;
    const std::string sdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.2\r\ns=-\r\nc=IN IP4 127.0.0.2\r\nt=0 0\r\n"
                            "m=audio 40000 RTP/AVP 0\r\n";
    const std::string invite =
        "INVITE sip:alice@127.0.0.1:" + std::to_string(port) + ";transport=tcp SIP/2.0\r\nVia: SIP/2.0/TCP " +
        sentBy + ";rport;branch=z9hG4bKtcp" + std::to_string(n) + "\r\nFrom: <sip:" + std::to_string(n) +
        "@127.0.0.2>;tag=t" + std::to_string(n) + "\r\nTo: <sip:alice@127.0.0.1>\r\nCall-ID: tcp-" +
        std::to_string(n) + "\r\nCSeq: 1 INVITE\r\nMax-Forwards: 70\r\nContact: <sip:" + std::to_string(n) +
        "@127.0.0.2;transport=tcp>\r\nContent-Type: application/sdp\r\nContent-Length: " +
        std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
    (void)::send(fd, invite.data(), invite.size(), MSG_NOSIGNAL);
    timeval wait{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    // Provisional answers (100 Trying) may come first.
    std::string received;
    char buffer[4096];
    for (ssize_t size; status.empty() && (size = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
      received.append(buffer, static_cast<std::size_t>(size));
      for (std::size_t at = 0; (at = received.find("SIP/2.0 ", at)) != std::string::npos; at += 8)
        if (received[at + 8] != '1') {
          status = received.substr(at, received.find('\r', at) - at);
          break;
        }
    }
  }
  ::close(fd);
  return status;
}

// Over TCP nothing can be screened before the engine reads it; the call is
// refused as it comes in, before the mirror shows anything.
TEST(DirectCalls, AStrangersInviteOverTcpIsRefusedToo) {
  Registered parties;
  HelperClient& alice = *parties.alice;
  // The port that answers plain SIP is the TCP one; the other is TLS.
  std::string first;
  std::uint16_t port = 0;
  for (const std::uint16_t listening : boundPorts(alice.process().pid(), "tcp", "0A")) {
    first = inviteOverTcp(listening, "", 1);
    if (!first.empty()) {
      port = listening;
      break;
    }
  }
  ASSERT_NE(port, 0) << "no TCP port answered\n" << alice.stderrText();
  EXPECT_EQ(first.substr(0, 11), "SIP/2.0 403") << first;
  EXPECT_EQ(inviteOverTcp(port, parties.registrar.server(), 2).substr(0, 11), "SIP/2.0 403") << "a forged Via";
  const auto quietUntil = deadlineAfter(1s);
  while (Clock::now() < quietUntil) {
    ASSERT_EQ(alice.query("GET_CALL_STATE"),
              (json{{"state", "idle"}, {"remoteAddress", ""}, {"callLogStatus", "none"}}));
    std::this_thread::sleep_for(50ms);
  }
}

// A set-up that really takes calls straight to its address says so.
TEST(DirectCalls, AnAccountThatAcceptsDirectCallsRingsForThem) {
  Kamailio registrar;
  PulseAudio pulse;
  auto alice = startInitializedHelper(&pulse);
  const json registered = registerAs(*alice, registrar, "alice", true);
  ASSERT_EQ(registered["payload"], (json{{"registered", true}})) << registered.dump();
  const std::uint16_t target = registrar.contactPort("alice");
  Scanner scanner(target);
  scanner.send(scanner.invite("carol@127.0.0.2", target, kScannerHost, scanner.port(), 1));
  const auto ringing = alice->waitForState("GET_CALL_STATE", "incomingReceived", 10s);
  ASSERT_TRUE(ringing.satisfied) << ringing.lastResponse.dump() << alice->stderrText();
  EXPECT_EQ(ringing.lastResponse["payload"]["remoteAddress"], "sip:carol@127.0.0.2");

  // Registering again without the key takes the default back.
  ASSERT_TRUE(succeeded(alice->request("HANGUP_CALL")));
  ASSERT_TRUE(alice->waitForState("GET_CALL_STATE", "released", 10s).satisfied);
  ASSERT_EQ(registerAs(*alice, registrar, "alice", false)["payload"], (json{{"registered", true}}));
  scanner.send(scanner.invite("carol@127.0.0.2", target, kScannerHost, scanner.port(), 2));
  EXPECT_TRUE(scanner.awaitAnswer("SIP/2.0 403", 5s)) << alice->stderrText();
}

// What a scanner sends, at its rates, straight at the helper's port.
class Flood {
 public:
  Flood(Scanner& scanner, std::uint16_t target) : scanner_(scanner), target_(target) {}

  // Runs for `length` in the calling thread: per second 300 OPTIONS, 30
  // INVITEs from made-up users, 100 malformed datagrams (the first 20 with
  // a 60 KB header).
  void run(Clock::duration length) {
    std::mt19937 random(7);
    const auto start = Clock::now();
    unsigned slot = 0;
    for (auto next = start; next - start < length; next += 1ms, ++slot) {
      std::this_thread::sleep_until(next);
      if (slot % 10 < 3) {
        scanner_.send(scanner_.options(target_, slot));
        ++optionsSent;
      }
      if (slot % 100 == 50) scanner_.send(scanner_.invite(std::to_string(random()) + "@127.0.0.2", target_,
                                                          kScannerHost, scanner_.port(), 100000 + slot));
      if (slot % 10 == 5) {
        std::string garbage = malformedSent < 20 ? "REGISTER sip:x SIP/2.0\r\nX-Pad: " + std::string(60000, 'a')
                                                 : "\x16\x03\x01 not sip " + std::to_string(random());
        scanner_.send(garbage);
        ++malformedSent;
      }
      optionsAnswered += scanner_.collect("SIP/2.0 200");
    }
    const auto settle = deadlineAfter(3s);
    while (Clock::now() < settle) {
      optionsAnswered += scanner_.collect("SIP/2.0 200");
      std::this_thread::sleep_for(10ms);
    }
  }

  std::size_t optionsSent = 0;
  std::size_t optionsAnswered = 0;
  std::size_t malformedSent = 0;

 private:
  Scanner& scanner_;
  std::uint16_t target_;
};

double percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(share * values.size()))];
}

TEST(ScannerFlood, RealCallsGoThroughNoStrangerRingsAndTheQueriesKeepUp) {
  Registered parties;
  HelperClient& alice = *parties.alice;
  auto bob = startRegisteredHelper(parties.registrar, &parties.pulse, "bob");
  const std::uint16_t target = parties.registrar.contactPort("alice");
  Scanner scanner(target);
  const std::size_t rssBefore = residentKiB(alice.process().pid());

  Flood flood(scanner, target);
  std::atomic<bool> floodDone{false};
  std::thread flooding([&] {
    flood.run(10s);
    floodDone = true;
  });

  // The real call, placed while the flood runs, rings, is answered and
  // streams; meanwhile every poll is checked for a stranger.
  std::vector<double> latencies;
  std::string stranger;
  const auto poll = [&] {
    const auto sent = Clock::now();
    const json state = alice.query("GET_CALL_STATE");
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    const std::string remote = state.at("remoteAddress").get<std::string>();
    if (remote.find(kScannerHost) != std::string::npos) stranger = remote;
    return state.at("state").get<std::string>();
  };
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(succeeded(bob->request("MAKE_CALL", {{"target", parties.registrar.uri("alice")}})));
  EXPECT_TRUE(pollUntil([&] { return poll() == "incomingReceived"; }, deadlineAfter(10s))) << alice.stderrText();
  ASSERT_TRUE(succeeded(alice.request("ANSWER_CALL")));
  EXPECT_TRUE(pollUntil([&] { return poll() == "streamsRunning"; }, deadlineAfter(10s))) << alice.stderrText();
  EXPECT_TRUE(bob->waitForState("GET_CALL_STATE", "streamsRunning", 10s).satisfied) << bob->stderrText();
  while (!floodDone.load()) {
    poll();
    std::this_thread::sleep_for(20ms);
  }
  flooding.join();
  ASSERT_TRUE(succeeded(bob->request("HANGUP_CALL")));
  EXPECT_TRUE(pollUntil([&] { return poll() == "released"; }, deadlineAfter(10s))) << alice.stderrText();
  EXPECT_EQ(stranger, "") << "a stranger's call showed";

  // Afterwards a second call goes through as usual.
  ASSERT_TRUE(succeeded(bob->request("MAKE_CALL", {{"target", parties.registrar.uri("alice")}})));
  EXPECT_TRUE(pollUntil([&] { return poll() == "incomingReceived"; }, deadlineAfter(10s))) << alice.stderrText();
  EXPECT_EQ(stranger, "");
  ASSERT_TRUE(succeeded(bob->request("HANGUP_CALL")));
  EXPECT_TRUE(pollUntil([&] { return poll() == "released"; }, deadlineAfter(10s)));

  const std::size_t rssAfter = residentKiB(alice.process().pid());
  const double answered = static_cast<double>(flood.optionsAnswered) / static_cast<double>(flood.optionsSent);
  std::printf("scanner flood: OPTIONS answered %zu of %zu (%.1f %%), query p50 %.2f ms p99 %.2f ms over %zu, "
              "RSS %.1f -> %.1f MiB\n",
              flood.optionsAnswered, flood.optionsSent, 100 * answered, percentile(latencies, 0.5),
              percentile(latencies, 0.99), latencies.size(), rssBefore / 1024.0, rssAfter / 1024.0);
  // Read as it arrives, not a datagram per tick (which answered about a
  // ninth). The share is loose so a loaded machine does not fail it, and
  // looser still in a sanitizer build, whose engine runs several times
  // slower (it answered two thirds there); the benchmark holds the target.
  EXPECT_GT(answered, timeScale() > 1 ? 0.4 : 0.9);
}

}  // namespace
}  // namespace tavirel::test
