// The registrar fixture against SIPp peers: it starts on a free port,
// authenticates REGISTER, routes calls to registered contacts along the
// recorded route, and stops by PID.
#include "Kamailio.h"

#include <gtest/gtest.h>

#include "FreePort.h"
#include "ProcessProbe.h"
#include "Sipp.h"

namespace tavirel::test {
namespace {

using namespace std::chrono_literals;

class KamailioTest : public ::testing::Test {
 protected:
  // Runs one SIPp scenario to its end and reports whether all its calls
  // succeeded; the proxy's and SIPp's logs go into the failure message.
  ::testing::AssertionResult runs(SippOptions options) {
    options.remote = options.remote.empty() ? kamailio.server() : options.remote;
    Sipp sipp(std::move(options));
    return finished(sipp);
  }

  ::testing::AssertionResult finished(Sipp& sipp) {
    auto status = sipp.waitExit(deadlineAfter(15s));
    if (status && status->success()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "sipp " << (status ? status->describe() : "did not finish") << "\n"
           << sipp.output() << "--- kamailio ---\n"
           << kamailio.logText();
  }

  ::testing::AssertionResult registers(const std::string& user, const SipUser& credentials,
                                       std::uint16_t contactPort, int expires,
                                       int finalStatus) {
    return runs({.scenarioXml = sippRegisterScenario(contactPort, expires, finalStatus),
                 .service = user,
                 .credentials = credentials});
  }

  Kamailio kamailio;
};

TEST_F(KamailioTest, AnswersOptionsOnItsPort) {
  EXPECT_NE(kamailio.port(), 0);
  EXPECT_EQ(kamailio.server(), "127.0.0.1:" + std::to_string(kamailio.port()));
  EXPECT_EQ(kamailio.uri("bob"), "sip:bob@" + kamailio.server());
  EXPECT_TRUE(kamailio.ping(deadlineAfter(2s)));
}

TEST_F(KamailioTest, RegistersAndUnregistersWithDigestAuth) {
  const auto& alice = Kamailio::user("alice");
  std::uint16_t contactPort = freeUdpPort();
  ASSERT_TRUE(registers("alice", alice, contactPort, 600, 200));
  EXPECT_EQ(kamailio.contactsOf("alice"),
            std::vector<std::string>{"sip:alice@127.0.0.1:" + std::to_string(contactPort)});
  EXPECT_TRUE(kamailio.contactsOf("bob").empty());

  ASSERT_TRUE(registers("alice", alice, contactPort, 0, 200));
  EXPECT_TRUE(kamailio.waitForRegistration("alice", false, deadlineAfter(2s)));
}

TEST_F(KamailioTest, RefusesWrongUnknownAndForeignCredentials) {
  std::uint16_t contactPort = freeUdpPort();
  EXPECT_TRUE(registers("bob", {"bob", "not-bobs-password"}, contactPort, 600, 403));
  EXPECT_TRUE(registers("mallory", {"mallory", "mallory-secret"}, contactPort, 600, 403));
  // Valid credentials of one user do not register another.
  EXPECT_TRUE(registers("bob", Kamailio::user("alice"), contactPort, 600, 403));
  EXPECT_TRUE(kamailio.contactsOf("bob").empty());
  EXPECT_TRUE(kamailio.contactsOf("mallory").empty());
}

TEST_F(KamailioTest, ProxiesCallToRegisteredContactAndRoutesInDialogRequests) {
  Sipp callee({.scenarioXml = sippAnswerScenario(), .service = "carol"});
  ASSERT_TRUE(registers("carol", Kamailio::user("carol"), callee.localPort(), 600, 200));
  // The caller's ACK and BYE reach the callee only through the proxy's
  // Record-Route; a proxy that does not route in-dialog requests fails here.
  EXPECT_TRUE(runs({.scenarioXml = sippCallScenario(100), .service = "carol"}));
  EXPECT_TRUE(finished(callee));
}

TEST_F(KamailioTest, RefusesCallToUserWithoutRegistration) {
  EXPECT_TRUE(runs({.scenarioXml = sippRefusedCallScenario(404), .service = "dave"}));
}

TEST_F(KamailioTest, StopsByPidAndFreesItsPort) {
  pid_t pid = kamailio.pid();
  auto status = kamailio.stop();
  EXPECT_TRUE(status.success()) << status.describe() << "\n" << kamailio.logText();
  EXPECT_FALSE(processAlive(pid));
  EXPECT_FALSE(kamailio.ping(deadlineAfter(300ms)));
}

}  // namespace
}  // namespace tavirel::test
