// The helper client against a stand-in helper: what it sends, and that it
// refuses every way a helper can break the stdout protocol.
#include "HelperClient.h"

#include <gtest/gtest.h>

#ifndef TAVIREL_FAKE_HELPER_BIN
#error "TAVIREL_FAKE_HELPER_BIN must be defined by the build"
#endif

namespace tavirel::test {
namespace {

using namespace std::chrono_literals;

HelperOptions fakeHelper() { return {.binary = TAVIREL_FAKE_HELPER_BIN}; }

std::optional<std::string> envOf(HelperClient& helper, const std::string& name) {
  auto payload = helper.request("GET_ENV", {{"name", name}})["payload"];
  if (!payload.contains("value")) return std::nullopt;
  return payload["value"].get<std::string>();
}

TEST(HelperClient, SendsOneRequestLineAndReturnsItsResponse) {
  HelperClient helper(fakeHelper());
  auto response = helper.request("PING", {{"target", "sip:bob@127.0.0.1"}, {"muted", true}});
  EXPECT_EQ(response["requestId"], "req-1");
  EXPECT_EQ(response["success"], true);
  EXPECT_EQ(response["payload"]["command"], "PING");
  EXPECT_EQ(helper.request("PING", nullptr, "mine")["requestId"], "mine");

  auto sent = nlohmann::json::parse(helper.transcript().substr(2, helper.transcript().find('\n') - 2));
  EXPECT_EQ(sent, (nlohmann::json{{"requestId", "req-1"},
                                  {"command", "PING"},
                                  {"payload", {{"target", "sip:bob@127.0.0.1"}, {"muted", true}}}}));
  // Stderr is read on a thread of its own; the trace may trail the answer.
  EXPECT_TRUE(helper.process().waitForStderr("[FAKE_TRACE] stage=request", deadlineAfter(5s))) << helper.stderrText();
  EXPECT_EQ(helper.readStrayLine(100ms), std::nullopt);
}

TEST(HelperClient, UndecodableLineIsAnsweredWithEmptyRequestId) {
  HelperClient helper(fakeHelper());
  auto response = helper.requestRaw("not json", "");
  EXPECT_EQ(response["success"], false);
}

TEST(HelperClient, RejectsStdoutThatIsNotTheExpectedResponse) {
  HelperClient stray(fakeHelper());
  EXPECT_THROW(stray.request("STRAY_STDOUT"), ProtocolViolation);

  HelperClient wrongId(fakeHelper());
  EXPECT_THROW(wrongId.request("WRONG_ID"), ProtocolViolation);
}

TEST(HelperClient, HelperDeathFailsTheRequestWithItsStatusAndStderr) {
  HelperClient helper(fakeHelper());
  try {
    helper.request("EXIT");
    FAIL() << "a request to a dying helper returned";
  } catch (const ProtocolViolation& violation) {
    std::string message = violation.what();
    EXPECT_NE(message.find("exit code 3"), std::string::npos) << message;
    EXPECT_NE(message.find("[FAKE_TRACE] stage=request"), std::string::npos) << message;
  }
}

TEST(HelperClient, WaitForStatePollsUntilTheStateIsReached) {
  HelperClient helper(fakeHelper());
  auto reached = helper.waitForState("GET_CALL_STATE", "streamsRunning", 5s);
  EXPECT_TRUE(reached.satisfied) << reached.lastResponse;
  EXPECT_EQ(reached.lastResponse["payload"]["state"], "streamsRunning");

  auto start = Clock::now();
  auto never = helper.waitForState("GET_CALL_STATE", "released", 300ms);
  EXPECT_FALSE(never.satisfied);
  EXPECT_EQ(never.lastResponse["payload"]["state"], "streamsRunning");
  EXPECT_LT(Clock::now() - start, 3s);
}

TEST(HelperClient, HelperRunsWithPrivateHomeAndNoInheritedSoundServer) {
  setenv("PULSE_SERVER", "unix:/nonexistent/tavirel-test-socket", 1);
  HelperClient helper(fakeHelper());
  unsetenv("PULSE_SERVER");
  EXPECT_EQ(envOf(helper, "HOME"), helper.home().string());
  EXPECT_EQ(envOf(helper, "PULSE_SERVER"), std::nullopt);
  auto closed = helper.closeAndWait();
  ASSERT_TRUE(closed);
  EXPECT_TRUE(closed->success()) << closed->describe();
}

}  // namespace
}  // namespace tavirel::test
