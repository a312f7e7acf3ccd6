// One whole call between two helpers, built for the thread sanitizer: the
// request thread, the engine queue with its timer and callbacks, the state
// lock and the engine's own threads all take part.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Parties.h"
#include "PulseAudio.h"

namespace tavirel::test {
namespace {

using namespace std::chrono_literals;

void expectState(HelperClient& helper, const std::string& state) {
  const auto result = helper.waitForState("GET_CALL_STATE", state, 30s);
  ASSERT_TRUE(result.satisfied) << "waiting for " << state << ", last " << result.lastResponse.dump() << "\n"
                                << helper.stderrText();
}

TEST(ThreadedCall, RegisterCallDtmfMuteAndHangUp) {
  Kamailio registrar;
  PulseAudio pulse;
  auto alice = startRegisteredHelper(registrar, &pulse, "alice");
  auto bob = startRegisteredHelper(registrar, &pulse, "bob");

  ASSERT_EQ(alice->request("MAKE_CALL", {{"target", registrar.uri("bob")}}).value("success", false), true);
  expectState(*bob, "incomingReceived");
  ASSERT_EQ(bob->request("ANSWER_CALL").value("success", false), true);
  expectState(*alice, "streamsRunning");
  expectState(*bob, "streamsRunning");

  EXPECT_EQ(alice->request("SEND_DTMF", {{"digit", "5"}}).value("success", false), true);
  EXPECT_EQ(alice->request("SET_MIC_MUTED", {{"muted", true}}).value("success", false), true);
  EXPECT_EQ(alice->request("GET_AUDIO_DEVICES").value("success", false), true);
  EXPECT_TRUE(alice->query("IS_IN_CALL").at("inCall").get<bool>());

  EXPECT_EQ(bob->request("HANGUP_CALL").value("success", false), true);
  expectState(*alice, "released");
  expectState(*bob, "released");
  EXPECT_EQ(alice->query("GET_CALL_STATE").at("callLogStatus"), "success");

  for (auto* helper : {alice.get(), bob.get()}) {
    const auto exit = helper->closeAndWait(30s);
    ASSERT_TRUE(exit);
    EXPECT_TRUE(exit->success()) << exit->describe() << "\n" << helper->stderrText();
    EXPECT_EQ(helper->stderrText().find("ThreadSanitizer"), std::string::npos) << helper->stderrText();
  }
}

}  // namespace
}  // namespace tavirel::test
