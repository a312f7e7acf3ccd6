// Faults around a running helper: its input ending mid-wait, the registrar
// dying, the far party vanishing mid-call, hostile datagrams on its SIP
// port. Whatever happens, the helper keeps answering every request with one
// JSON line and nothing else on stdout (the client checks every line).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <string>

#include "FreePort.h"
#include "Parties.h"

namespace tavirel::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// Every query answers at once and successfully: the helper is alive and its
// loop is not stuck behind the engine.
void expectAnswering(HelperClient& helper) {
  for (const char* query : {"GET_CALL_STATE", "GET_REGISTRATION_STATE", "IS_IN_CALL", "GET_CURRENT_REMOTE_ADDRESS"})
    EXPECT_EQ(helper.request(query, nullptr, {}, 5s).value("success", false), true) << query;
  EXPECT_EQ(helper.request("GET_AUDIO_DEVICES", nullptr, {}, 5s).value("success", false), true);
}

std::string callStateOf(HelperClient& helper) { return helper.query("GET_CALL_STATE").at("state").get<std::string>(); }
bool inCall(HelperClient& helper) { return helper.query("IS_IN_CALL").at("inCall").get<bool>(); }

void expectState(HelperClient& helper, const std::string& state, Clock::duration timeout = 15s) {
  const auto result = helper.waitForState("GET_CALL_STATE", state, timeout);
  ASSERT_TRUE(result.satisfied) << "waiting for " << state << ", last " << result.lastResponse.dump() << "\n"
                                << helper.stderrText();
}

// alice calls bob through the registrar and bob answers; both stream audio.
void establishCall(const Kamailio& registrar, HelperClient& alice, HelperClient& bob) {
  ASSERT_EQ(alice.request("MAKE_CALL", {{"target", registrar.uri("bob")}}).value("success", false), true);
  expectState(bob, "incomingReceived");
  ASSERT_EQ(bob.request("ANSWER_CALL").value("success", false), true);
  expectState(alice, "streamsRunning");
  expectState(bob, "streamsRunning");
}

// The UDP port in the contact `user` registered with.
std::uint16_t sipPortOf(const Kamailio& registrar, const std::string& user) {
  const auto contacts = registrar.contactsOf(user);
  if (contacts.empty()) throw std::runtime_error("no contact for " + user);
  std::smatch match;
  if (!std::regex_search(contacts.front(), match, std::regex(R"(@[^:;>]+:(\d+))")))
    throw std::runtime_error("no port in contact " + contacts.front());
  return static_cast<std::uint16_t>(std::stoi(match[1]));
}

TEST(HelperFaults, InputEndingWhileRegisterWaitsStillGetsTheAnswerThenExitsZero) {
  auto helper = startInitializedHelper(nullptr);
  // Nothing answers SIP on this port, so the registration cannot finish.
  const std::uint16_t silent = freeUdpPort();
  const json registerLine = {{"requestId", "reg"},
                             {"command", "REGISTER"},
                             {"payload", {{"sipAccount", "alice"}, {"sipPassword", "pw"}, {"server", "127.0.0.1:" + std::to_string(silent)}}}};
  ASSERT_TRUE(helper->process().writeLine(registerLine.dump()));
  helper->process().closeStdin();
  const auto line = helper->process().readLine(deadlineAfter(30s));
  ASSERT_TRUE(line) << helper->stderrText();
  const json response = json::parse(*line);
  EXPECT_EQ(response["requestId"], "reg");
  EXPECT_EQ(response["success"], false);
  EXPECT_EQ(response["payload"]["registered"], false);
  const auto exit = helper->process().waitExit(deadlineAfter(10s));
  ASSERT_TRUE(exit);
  EXPECT_TRUE(exit->success()) << exit->describe();
}

TEST(HelperFaults, RegistrarDyingMidRegistrationLeavesTheHelperAnswering) {
  Kamailio registrar;
  auto helper = startInitializedHelper(nullptr);
  // Frozen first, so the request is surely outstanding when it dies. The
  // registrar's workers share its process group, and they hold the socket.
  ::kill(-registrar.pid(), SIGSTOP);
  const json registerLine = {{"requestId", "reg"},
                             {"command", "REGISTER"},
                             {"payload", {{"sipAccount", "alice"}, {"sipPassword", Kamailio::user("alice").password}, {"server", registrar.server()}}}};
  ASSERT_TRUE(helper->process().writeLine(registerLine.dump()));
  const auto early = helper->process().readLine(deadlineAfter(300ms));
  ASSERT_FALSE(early) << "answered before the registrar could: " << *early << "\n" << helper->stderrText();
  ::kill(-registrar.pid(), SIGKILL);
  const auto line = helper->process().readLine(deadlineAfter(30s));
  ASSERT_TRUE(line) << helper->stderrText();
  EXPECT_EQ(json::parse(*line)["payload"]["registered"], false);
  expectAnswering(*helper);
  EXPECT_NE(helper->query("GET_REGISTRATION_STATE").at("state"), "ok");
}

TEST(HelperFaults, RegistrarDyingMidCallLeavesTheCallAndBothHelpersRunning) {
  Kamailio registrar;
  auto alice = startRegisteredHelper(registrar, nullptr, "alice");
  auto bob = startRegisteredHelper(registrar, nullptr, "bob");
  establishCall(registrar, *alice, *bob);

  registrar.stop();
  // Media flows directly between the parties; the call outlives the proxy
  // for as long as we look.
  const auto until = deadlineAfter(2s);
  while (Clock::now() < until) {
    expectAnswering(*alice);
    expectAnswering(*bob);
  }
  EXPECT_TRUE(inCall(*alice));
  EXPECT_EQ(callStateOf(*bob), "streamsRunning");
  // Hanging up cannot reach bob through the dead proxy, but it answers.
  EXPECT_EQ(alice->request("HANGUP_CALL").value("success", false), true);
  expectAnswering(*alice);
}

TEST(HelperFaults, FarHelperKilledMidCallEndsTheCallOnTheNearSide) {
  Kamailio registrar;
  auto alice = startRegisteredHelper(registrar, nullptr, "alice");
  auto bob = startRegisteredHelper(registrar, nullptr, "bob");
  establishCall(registrar, *alice, *bob);

  bob->process().kill(SIGKILL);
  // Nobody says goodbye; the near side notices the silence of the media
  // stream (no-RTP time-out) and ends the call.
  const auto ended = alice->waitFor(
      "GET_CALL_STATE",
      [](const json& r) {
        const auto state = r["payload"]["state"].get<std::string>();
        return state == "end" || state == "released" || state == "error";
      },
      90s, 500ms);
  ASSERT_TRUE(ended.satisfied) << ended.lastResponse.dump();
  const auto left = alice->waitFor("IS_IN_CALL", [](const json& r) { return r["payload"]["inCall"] == false; }, 10s);
  EXPECT_TRUE(left.satisfied) << left.lastResponse.dump();
  expectAnswering(*alice);
}

// Datagrams that are not SIP, and SIP that is broken in the ways a parser
// has to survive.
std::vector<std::string> hostileDatagrams(std::uint16_t port) {
  const std::string to = "sip:bob@127.0.0.1:" + std::to_string(port);
  std::vector<std::string> datagrams = {
      "",
      "\r\n\r\n",
      "INVITE",
      "INVITE " + to + " SIP/2.0\r\n\r\n",
      "INVITE " + to + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKx\r\nContent-Length: 99999999\r\n\r\nv=0",
      "INVITE " + to + " SIP/2.0\r\nVia: garbage\r\nFrom: <>\r\nTo: \r\nCall-ID: \r\nCSeq: x INVITE\r\nContent-Length: -5\r\n\r\n",
      "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKnobody\r\nCSeq: 1 INVITE\r\nCall-ID: none\r\nContent-Length: 0\r\n\r\n",
      "BYE " + to + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKbye\r\nFrom: <sip:x@y>;tag=1\r\nTo: <" + to +
          ">;tag=2\r\nCall-ID: not-a-dialog\r\nCSeq: 1 BYE\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n",
      "OPTIONS " + to + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKopt\r\nFrom: <sip:x@y>;tag=1\r\nTo: <" + to +
          ">\r\nCall-ID: opt\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n",
      std::string(2000, 'A') + "\r\n" + std::string(60000, ':'),
      "INVITE " + to + " SIP/2.0\r\n" + std::string(8000, ' ') + "\r\n\r\n",
  };
  std::mt19937 random(20261208);
  for (int i = 0; i < 300; ++i) {
    std::string bytes(random() % 1400, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random());
    // Half of them start like SIP so they get past the first look.
    if (i % 2) bytes = "INVITE " + to + " SIP/2.0\r\n" + bytes;
    datagrams.push_back(std::move(bytes));
  }
  return datagrams;
}

TEST(HelperFaults, HostileDatagramsOnTheSipPortLeaveTheCallRunning) {
  Kamailio registrar;
  auto alice = startRegisteredHelper(registrar, nullptr, "alice");
  auto bob = startRegisteredHelper(registrar, nullptr, "bob");
  establishCall(registrar, *alice, *bob);
  const std::uint16_t port = sipPortOf(registrar, "bob");

  const int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int round = 0;
  for (const auto& datagram : hostileDatagrams(port)) {
    ::sendto(sock, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    // Keep asking while the engine chews on it: every answer must still be
    // a clean response line.
    if (++round % 25 == 0) expectAnswering(*bob);
  }
  ::close(sock);

  expectAnswering(*bob);
  expectAnswering(*alice);
  EXPECT_EQ(callStateOf(*bob), "streamsRunning");
  EXPECT_TRUE(inCall(*bob));
  EXPECT_TRUE(inCall(*alice));
  // The call still ends normally.
  EXPECT_EQ(alice->request("HANGUP_CALL").value("success", false), true);
  expectState(*bob, "released");
}

TEST(HelperFaults, FailingRegistrationsFloodingTheLogNeverReachStdout) {
  Kamailio registrar;
  auto helper = startInitializedHelper(nullptr);
  for (int i = 0; i < 5; ++i) {
    const json response = helper->request(
        "REGISTER", {{"sipAccount", "alice"}, {"sipPassword", "wrong-" + std::to_string(i)}, {"server", registrar.server()}});
    EXPECT_EQ(response["payload"]["registered"], false);
    expectAnswering(*helper);
  }
  // Nothing arrives that was not asked for.
  EXPECT_FALSE(helper->readStrayLine(300ms));
  EXPECT_NE(helper->stderrText().find("[LogLevel(rawValue: "), std::string::npos);
}

}  // namespace
}  // namespace tavirel::test
