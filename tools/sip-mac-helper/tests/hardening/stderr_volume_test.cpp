// How much a call writes to stderr when things go wrong around it: the
// application keeps stderr as its log, so a bad night must not fill a disk.
// Repeated engine lines are folded; a count line says how many were left out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "HelperClient.h"
#include "Kamailio.h"
#include "Parties.h"
#include "ProcSockets.h"
#include "PulseAudio.h"

namespace tavirel::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr auto kWindow = 10s;
constexpr std::size_t kMostLinesPerWindow = 300;

std::size_t lineCount(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

bool succeeded(const json& response) { return response.value("success", false); }

// alice calls bob through the registrar and both stream.
void callAndStream(const Kamailio& registrar, HelperClient& alice, HelperClient& bob) {
  ASSERT_TRUE(succeeded(alice.request("MAKE_CALL", {{"target", registrar.uri("bob")}})));
  ASSERT_TRUE(bob.waitForState("GET_CALL_STATE", "incomingReceived", 15s).satisfied) << bob.stderrText();
  ASSERT_TRUE(succeeded(bob.request("ANSWER_CALL")));
  ASSERT_TRUE(alice.waitForState("GET_CALL_STATE", "streamsRunning", 15s).satisfied) << alice.stderrText();
  ASSERT_TRUE(bob.waitForState("GET_CALL_STATE", "streamsRunning", 15s).satisfied) << bob.stderrText();
}

// The UDP ports `pid` has bound, but `exceptPort`: its media ports in a call.
std::vector<std::uint16_t> mediaPortsOf(pid_t pid, std::uint16_t exceptPort) {
  std::vector<std::uint16_t> ports = boundPorts(pid, "udp");
  std::erase(ports, exceptPort);
  return ports;
}

// Two registered helpers in a call through the registrar, both streaming.
struct TwoInACall {
  explicit TwoInACall(const SoundServer* server)
      : alice(startRegisteredHelper(registrar, server, "alice")), bob(startRegisteredHelper(registrar, server, "bob")) {
    callAndStream(registrar, *alice, *bob);
  }
  Kamailio registrar;
  std::unique_ptr<HelperClient> alice, bob;
};

// Lines written during `kWindow` of `during`, then (bounded) the count line
// of the folded ones.
std::size_t linesDuring(HelperClient& helper, const std::function<void()>& during, bool& countLineSeen) {
  const std::size_t before = lineCount(helper.stderrText());
  during();
  const std::size_t written = lineCount(helper.stderrText()) - before;
  countLineSeen = helper.process().waitForStderr(" more in the last 10 s)\n", deadlineAfter(5s));
  return written;
}

TEST(StderrVolume, GarbageAtTheMediaPortIsFolded) {
  PulseAudio pulse;
  TwoInACall call(&pulse);
  HelperClient* alice = call.alice.get();
  const auto ports = mediaPortsOf(alice->process().pid(), call.registrar.contactPort("alice"));
  ASSERT_FALSE(ports.empty());

  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  bool counted = false;
  const std::size_t lines = linesDuring(
      *alice,
      [&] {
        const auto end = Clock::now() + kWindow;
        for (unsigned n = 0; Clock::now() < end; ++n) {
          const std::string garbage = "\x80\x00 garbage " + std::to_string(n) + std::string(n % 200, 'g');
          for (const std::uint16_t port : ports) {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
            (void)::sendto(fd, garbage.data(), garbage.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
          }
          std::this_thread::sleep_for(5ms);
        }
      },
      counted);
  ::close(fd);
  std::printf("garbage at %zu media ports: %zu stderr lines in 10 s\n", ports.size(), lines);
  EXPECT_LT(lines, kMostLinesPerWindow) << alice->stderrText();
  EXPECT_TRUE(counted) << "no count of the folded lines\n" << alice->stderrText();
  EXPECT_TRUE(succeeded(alice->request("HANGUP_CALL")));
}

// Both sound servers of a call go away (as when the desktop's server
// crashes): our cards play to nobody and the echo canceller gets no
// reference; the engine's complaint about it is folded.
TEST(StderrVolume, ACallWhoseSoundServerIsGoneIsQuiet) {
  PulseAudio pulse;
  TwoInACall call(&pulse);
  HelperClient* alice = call.alice.get();
  (void)pulse.stop();
  bool counted = false;
  const std::size_t lines = linesDuring(*alice, [] { std::this_thread::sleep_for(kWindow); }, counted);
  std::printf("a call without its sound server: %zu stderr lines in 10 s\n", lines);
  EXPECT_LT(lines, kMostLinesPerWindow) << alice->stderrText();
  EXPECT_TRUE(succeeded(alice->request("HANGUP_CALL")));
}

}  // namespace
}  // namespace tavirel::test
