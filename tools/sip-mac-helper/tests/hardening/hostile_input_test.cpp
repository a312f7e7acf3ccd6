// Requests a desktop can send by mistake that once took the helper down: a
// call to its own address, and texts longer than the engine's addresses
// hold. Real helpers registered at a real registrar, on a private sound
// server; every wait has a deadline.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "Parties.h"
#include "PulseAudio.h"
#include "engine/input_limits.h"

namespace tavirel::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr auto kCallSetup = 15s;

std::string errorOf(const json& response) {
  return response.value("success", true) ? "<success>" : response.value("error", "<no error>");
}
bool succeeded(const json& response) { return response.value("success", false); }
bool inCall(HelperClient& helper) { return helper.query("IS_IN_CALL").at("inCall").get<bool>(); }

void expectState(HelperClient& helper, const std::string& state) {
  const auto result = helper.waitForState("GET_CALL_STATE", state, kCallSetup);
  ASSERT_TRUE(result.satisfied) << "waiting for " << state << ", last " << result.lastResponse.dump() << "\n"
                                << helper.stderrText();
}

// `caller` calls `callee` at `target`, the callee answers, and the call
// streams.
void establishCall(HelperClient& caller, HelperClient& callee, const std::string& target) {
  ASSERT_TRUE(succeeded(caller.request("MAKE_CALL", {{"target", target}})));
  // The call state mirrors the last event of any call, and the end of an
  // earlier call may still arrive after this one rings; the call list says
  // for sure.
  ASSERT_TRUE(pollUntil([&] { return inCall(callee); }, deadlineAfter(kCallSetup))) << callee.stderrText();
  ASSERT_TRUE(pollUntil([&] { return succeeded(callee.request("ANSWER_CALL")); }, deadlineAfter(5s), 100ms))
      << callee.stderrText();
  // The caller streams once the answer with the callee's media arrived. The
  // callee's own mirrored state is not read: a late end of its earlier call
  // may have overwritten it.
  expectState(caller, "streamsRunning");
}

// establishCall, then the caller hangs up and neither keeps a call.
void expectCallGoesThrough(HelperClient& caller, HelperClient& callee, const std::string& target) {
  establishCall(caller, callee, target);
  ASSERT_TRUE(succeeded(caller.request("HANGUP_CALL")));
  EXPECT_TRUE(pollUntil([&] { return !inCall(caller) && !inCall(callee); }, deadlineAfter(kCallSetup)));
  // A call's last event; nothing of it arrives after this.
  expectState(caller, "released");
  expectState(callee, "released");
}

// ---------------------------------------------------------------------------
// A call to oneself. The INVITE comes back carrying the outgoing call's own
// Call-ID, and the engine used to fold it into that call: the answer
// failed, hang-up left a call with freed streams in the list, and the next
// mute crashed the helper. Now the returning INVITE is a call of its own;
// the two ring, end together, and leave nothing behind.

class CallToOneself : public ::testing::TestWithParam<bool> {};

TEST_P(CallToOneself, RingsEndsCleanlyAndARealCallIsAnsweredAfterwards) {
  const bool direct = GetParam();
  Kamailio registrar;
  PulseAudio pulse;
  auto alice = startRegisteredHelper(registrar, &pulse, "alice");
  auto bob = startRegisteredHelper(registrar, &pulse, "bob");
  const std::string self = direct ? registrar.directUri("alice") : registrar.uri("alice");

  ASSERT_TRUE(succeeded(alice->request("MAKE_CALL", {{"target", self}})));
  // The returning INVITE has arrived once the call rings (or, as it used to,
  // once the folded call reads as connected).
  const auto looped = alice->waitFor(
      "GET_CALL_STATE",
      [](const json& r) {
        const std::string state = r["payload"]["state"];
        return state == "outgoingRinging" || state == "idle";
      },
      kCallSetup);
  ASSERT_TRUE(looped.satisfied) << looped.lastResponse.dump() << alice->stderrText();
  EXPECT_TRUE(inCall(*alice));
  // The current call is the outgoing one; it cannot be answered from here.
  EXPECT_EQ(errorOf(alice->request("ANSWER_CALL")),
            "accept failed: exception(result: \"acceptWithParams returned value -1\")");
  ASSERT_TRUE(succeeded(alice->request("HANGUP_CALL")));
  expectState(*alice, "released");
  for (const bool muted : {true, false}) EXPECT_TRUE(succeeded(alice->request("SET_MIC_MUTED", {{"muted", muted}})));
  EXPECT_TRUE(pollUntil([&] { return !inCall(*alice); }, deadlineAfter(5s)))
      << "a call to oneself outlived its hang-up\n" << alice->stderrText();

  expectCallGoesThrough(*bob, *alice, registrar.uri("alice"));
  EXPECT_TRUE(succeeded(alice->request("SET_MIC_MUTED", {{"muted", true}})));
}

INSTANTIATE_TEST_SUITE_P(Ways, CallToOneself, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "StraightToItsPort" : "ThroughTheRegistrar"; });

// ---------------------------------------------------------------------------
// Texts longer than an engine address. The engine cut them at 1,023 bytes as
// written, escapes included, and crashed on the cut text: 340 backslashes,
// 1,000 "%" or 1,000 "é" as a target, 1,019 letters as an account name.

std::string repeated(std::string_view unit, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += unit;
  return text;
}

// bob's address through the registrar, padded with a URI parameter to
// exactly `length` bytes as the engine may write them.
std::string paddedUri(const Kamailio& registrar, std::size_t length) {
  const std::string head = registrar.uri("bob") + ";x-pad=";
  return head + std::string(length - engine::escapedLengthBound(head), 'p');
}

TEST(OversizedInput, TargetsAtTheLimitAreCalledAndPastItRefusedAlsoInAConference) {
  Kamailio registrar;
  PulseAudio pulse;
  auto alice = startRegisteredHelper(registrar, &pulse, "alice");
  auto bob = startRegisteredHelper(registrar, &pulse, "bob");

  expectCallGoesThrough(*alice, *bob, paddedUri(registrar, engine::kMaxTargetLength));

  const std::string pastLimit = paddedUri(registrar, engine::kMaxTargetLength + 1);
  for (const std::string& target : {pastLimit, repeated("\\", 340), repeated("%", 1000), repeated("é", 1000),
                                    std::string(100000, 'A')})
    EXPECT_EQ(errorOf(alice->request("MAKE_CALL", {{"target", target}}, {}, 5s)), "Invalid SIP address: " + target)
        << target.size() << " bytes";
  EXPECT_FALSE(inCall(*alice));
  EXPECT_FALSE(inCall(*bob));

  // During a call, the same texts as conference targets are skipped like
  // any that does not interpret, and the call goes on.
  establishCall(*alice, *bob, registrar.uri("bob"));
  EXPECT_EQ(errorOf(alice->request("INVITE_CONFERENCE", {{"targetsCsv", repeated("\\", 340) + "," + pastLimit}})),
            "No callable participants");
  EXPECT_EQ(errorOf(alice->request("REMOVE_CONFERENCE_PARTICIPANT", {{"target", repeated("é", 1000)}})),
            "Invalid conference target: " + repeated("é", 1000));
  // bob may only now finish connecting the answered call.
  expectState(*bob, "streamsRunning");
  EXPECT_TRUE(inCall(*alice));
  ASSERT_TRUE(succeeded(alice->request("HANGUP_CALL")));
  EXPECT_TRUE(pollUntil([&] { return !inCall(*alice) && !inCall(*bob); }, deadlineAfter(kCallSetup)));
}

TEST(OversizedInput, AccountTextsPastTheLimitAreRefusedAtOnceAndLeaveTheAccountAsItWas) {
  Kamailio registrar;
  PulseAudio pulse;
  auto alice = startRegisteredHelper(registrar, &pulse, "alice");
  const std::string secret = Kamailio::user("alice").password;

  const std::string tooLong = "Account setup failed: sipAccount too long (more than 256 bytes once escaped)";
  for (const std::size_t length : {engine::kMaxAccountLength + 1, std::size_t{1019}, std::size_t{20000}}) {
    const auto started = Clock::now();
    EXPECT_EQ(errorOf(alice->request("REGISTER",
                                     {{"sipAccount", std::string(length, 'a')}, {"sipPassword", secret}, {"server", registrar.server()}},
                                     {}, 5s)),
              tooLong);
    EXPECT_LT(Clock::now() - started, 1s) << length << " characters";
  }
  EXPECT_EQ(errorOf(alice->request("REGISTER", {{"sipAccount", "alice"}, {"sipPassword", secret},
                                                {"server", std::string(300, 'h') + ":5060"}})),
            "Account setup failed: server too long (more than 256 bytes once escaped)");
  // Refused before anything changed: alice is still registered.
  EXPECT_EQ(alice->query("GET_REGISTRATION_STATE").at("state"), "ok");
  EXPECT_FALSE(registrar.contactsOf("alice").empty());

  // At the limit the name goes to the registrar, which does not know it.
  const json atLimit = alice->request(
      "REGISTER", {{"sipAccount", std::string(engine::kMaxAccountLength, 'a')}, {"sipPassword", "x"}, {"server", registrar.server()}});
  EXPECT_EQ(atLimit, (json{{"requestId", atLimit["requestId"]}, {"success", false}, {"payload", {{"registered", false}}}}));
  ASSERT_TRUE(succeeded(alice->request("REGISTER", {{"sipAccount", "alice"}, {"sipPassword", secret}, {"server", registrar.server()}})));
}

}  // namespace
}  // namespace tavirel::test
