// REGISTER and UNREGISTER through the real helper against a real registrar
// (kamailio on loopback), a scripted registrar on the default SIP port, and
// a registrar that never answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "FreePort.h"
#include "HelperClient.h"
#include "Kamailio.h"
#include "Parties.h"
#include "Sipp.h"

namespace tavirel::test {
namespace {
using namespace std::chrono_literals;

constexpr auto kRegisterWait = 15s;
// For registrations that never get as far as a challenge. Distinct enough
// that the client's check for passwords in the helper's output (every
// HelperClient makes it) cannot match ordinary log text.
constexpr const char* kUnusedPassword = "pw-Unused-7Qx";

nlohmann::json registerAs(HelperClient& helper, const std::string& user, const std::string& password,
                          const std::string& server, Clock::duration timeout = 30s) {
  return helper.request("REGISTER", {{"sipAccount", user}, {"sipPassword", password}, {"server", server}}, {},
                        timeout);
}

void expectRegistered(const nlohmann::json& response, bool registered) {
  EXPECT_EQ(response["success"], registered) << response.dump();
  EXPECT_FALSE(response.contains("error")) << response.dump();
  EXPECT_EQ(response["payload"]["registered"], registered) << response.dump();
}

class Registration : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure()) std::cerr << "--- registrar log ---\n" << registrar.logText();
  }

  Kamailio registrar;
};

TEST_F(Registration, CorrectPasswordRegistersThenUnregisterClears) {
  auto helper = startInitializedHelper(nullptr);
  const auto& alice = Kamailio::user("alice");
  expectRegistered(registerAs(*helper, alice.name, alice.password, registrar.server()), true);
  EXPECT_EQ(helper->query("GET_REGISTRATION_STATE")["state"], "ok");
  EXPECT_FALSE(registrar.contactsOf("alice").empty());

  EXPECT_TRUE(helper->request("UNREGISTER")["success"].get<bool>());
  EXPECT_TRUE(helper->waitForState("GET_REGISTRATION_STATE", "cleared", 10s).satisfied);
  EXPECT_TRUE(registrar.waitForRegistration("alice", false, deadlineAfter(5s)));
}

TEST_F(Registration, WrongPasswordFailsWellBeforeTheDeadline) {
  auto helper = startInitializedHelper(nullptr);
  const std::string password = "not-alices-Pa55word";
  const auto started = Clock::now();
  const auto response = registerAs(*helper, "alice", password, registrar.server());
  const auto took = Clock::now() - started;
  expectRegistered(response, false);
  EXPECT_LT(took, 10s);
  EXPECT_EQ(helper->query("GET_REGISTRATION_STATE")["state"], "failed");
  EXPECT_TRUE(registrar.contactsOf("alice").empty());
}

TEST_F(Registration, SecondRegisterReplacesAccountAndCredentials) {
  auto helper = startInitializedHelper(nullptr);
  const auto& alice = Kamailio::user("alice");
  const auto& bob = Kamailio::user("bob");
  expectRegistered(registerAs(*helper, alice.name, alice.password, registrar.server()), true);
  expectRegistered(registerAs(*helper, bob.name, bob.password, registrar.server()), true);
  // Removing alice's account ends her registration at the registrar.
  EXPECT_TRUE(registrar.waitForRegistration("alice", false, deadlineAfter(5s)));
  EXPECT_FALSE(registrar.contactsOf("bob").empty());

  // Alice again with a wrong password: her earlier, correct credentials are
  // gone and must not be used in its place.
  expectRegistered(registerAs(*helper, alice.name, "wrong-" + alice.password, registrar.server()), false);
  EXPECT_TRUE(registrar.waitForRegistration("bob", false, deadlineAfter(5s)));
  EXPECT_TRUE(registrar.contactsOf("alice").empty());
}

TEST(RegistrationInput, ServerWithoutHostOrBadPortFailsAndTheHelperGoesOn) {
  auto helper = startInitializedHelper(nullptr);
  for (const char* server : {"", ":", ":::"}) {
    const auto response = registerAs(*helper, "alice", kUnusedPassword, server);
    EXPECT_FALSE(response["success"].get<bool>()) << server;
    EXPECT_EQ(response["error"], "Account setup failed: server \"" + std::string(server) + "\" names no host");
  }
  const auto badPort = registerAs(*helper, "alice", kUnusedPassword, "127.0.0.1:not-a-port");
  EXPECT_FALSE(badPort["success"].get<bool>());
  EXPECT_TRUE(badPort["error"].get<std::string>().starts_with("Account setup failed: exception(result: \""))
      << badPort.dump();

  EXPECT_TRUE(helper->request("UNREGISTER")["success"].get<bool>());
  EXPECT_EQ(helper->query("IS_IN_CALL")["inCall"], false);
  EXPECT_TRUE(helper->closeAndWait()->success());
}

TEST(RegistrationInput, UnregisterWithoutEngineSucceeds) {
  HelperClient helper;
  const auto response = helper.request("UNREGISTER");
  EXPECT_TRUE(response["success"].get<bool>());
  EXPECT_FALSE(response.contains("payload"));
}

// A registrar on 127.0.0.1:5060 that accepts one REGISTER without a
// challenge: where "host" and "host:" must send it.
std::string acceptOneRegisterScenario() {
  return R"(<?xml version="1.0" encoding="ISO-8859-1" ?>
<!DOCTYPE scenario SYSTEM "sipp.dtd">
<scenario name="accept register">
  <recv request="REGISTER"/>
  <send>
    <![CDATA[
      SIP/2.0 200 OK
      [last_Via:]
      [last_From:]
      [last_To:];tag=[pid]reg[call_number]
      [last_Call-ID:]
      [last_CSeq:]
      [last_Contact:];expires=600
      Content-Length: 0
    ]]>
  </send>
</scenario>
)";
}

bool defaultSipPortIsFree() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(5060);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return free;
}

TEST(RegistrationPort, BareHostAndTrailingColonUseTheDefaultPort) {
  if (!defaultSipPortIsFree()) GTEST_SKIP() << "127.0.0.1:5060 is taken (run inside the test namespace)";
  for (const char* server : {"127.0.0.1", "127.0.0.1:"}) {
    SCOPED_TRACE(server);
    Sipp fakeRegistrar({.scenarioXml = acceptOneRegisterScenario(), .localPort = 5060});
    auto helper = startInitializedHelper(nullptr);
    expectRegistered(registerAs(*helper, "alice", kUnusedPassword, server), true);
    const auto exit = fakeRegistrar.waitExit(deadlineAfter(10s));
    EXPECT_TRUE(exit && exit->success()) << fakeRegistrar.output();
  }
}

TEST(RegistrationTimeout, NothingListeningGetsFalseAfterFifteenSeconds) {
  // The engine ignores ICMP port-unreachable on UDP and keeps retransmitting,
  // as if a server received and never answered.
  const auto port = freeUdpPort();
  auto helper = startInitializedHelper(nullptr);
  const auto started = Clock::now();
  const auto response = registerAs(*helper, "alice", kUnusedPassword, "127.0.0.1:" + std::to_string(port));
  const auto took = Clock::now() - started;
  expectRegistered(response, false);
  EXPECT_GE(took, kRegisterWait);
  EXPECT_LT(took, kRegisterWait + 5s);
  // The engine is still trying, and the helper answers at once again.
  EXPECT_EQ(helper->query("GET_REGISTRATION_STATE")["state"], "progress");
}

}  // namespace
}  // namespace tavirel::test
