// The dispatcher's frame, in process and without an engine: with stub rows
// for the order of its steps, and with the helper's own table for what the
// application sees before INITIALIZE.
#include "bridge/dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <vector>

namespace tavirel::bridge {
namespace {

using Command = HelperBridgeCommand;

HelperBridgeRequest request(Command command, std::optional<Payload> payload = std::nullopt) {
  return {"r1", command, std::move(payload)};
}

// What the stub rows' work and hooks saw; one per test.
struct Seen {
  std::atomic<int> runs{0};
  std::atomic<bool> onEngineQueue{false};
  std::vector<std::string> texts;
  bool flag = false;
  std::vector<std::string> missingHooks;
};
Seen* seen = nullptr;

void hookB(const HelperBridgeRequest&) { seen->missingHooks.push_back("b"); }
void hookC(const HelperBridgeRequest&) { seen->missingHooks.push_back("c"); }

constexpr std::array<PayloadKey, 3> kThreeKeys = {{
    {"a", KeyRule::present, "Missing a"},
    {"b", KeyRule::nonEmpty, "Missing b", hookB},
    {"c", KeyRule::nonBlank, "Missing c", hookC},
}};
constexpr std::array<PayloadKey, 1> kFlagKey = {{{"on", KeyRule::flag, ""}}};

WorkResult recordTexts(const Work& w) {
  ++seen->runs;
  seen->onEngineQueue = w.state.sipQueue.isCurrent();
  for (std::size_t i = 0; i < 3; ++i) seen->texts.push_back(w.args.text(i));
  return WorkResult::withValue("done");
}

WorkResult recordFlag(const Work& w) {
  ++seen->runs;
  seen->onEngineQueue = w.state.sipQueue.isCurrent();
  seen->flag = w.args.flag(0);
  return WorkResult::done();
}

WorkResult answerDone(const Work&) {
  ++seen->runs;
  return WorkResult::withValue("done");
}

WorkResult refuse(const Work&) {
  ++seen->runs;
  return WorkResult::failed("refused: detail");
}

class Frame : public testing::Test {
 protected:
  void SetUp() override { seen = &seen_; }
  void TearDown() override { seen = nullptr; }

  HelperBridgeResponse run(const CommandRow& row, const CommandWork& work, std::optional<Payload> payload) {
    return runFrame(row, work, state_, request(row.command, std::move(payload)));
  }

  HelperState state_;
  Seen seen_;
};

const CommandRow kThreeKeyRow{Command::makeCall, "STUB", false, kThreeKeys, "value"};
const CommandWork kRecordTexts{Command::makeCall, true, recordTexts};

TEST_F(Frame, TheFirstBrokenKeyInOrderAnswersAndNoWorkRuns) {
  const struct {
    Payload payload;
    std::string error;
    std::vector<std::string> hooks;
  } cases[] = {
      {{}, "Missing a", {}},
      {{{"a", true}, {"b", ""}}, "Missing a", {}},  // a boolean is not text
      {{{"a", ""}, {"c", " "}}, "Missing b", {"b"}},
      {{{"a", ""}, {"b", ""}, {"c", "x"}}, "Missing b", {"b"}},
      {{{"a", ""}, {"b", "x"}, {"c", " \n\t\u3000"}}, "Missing c", {"c"}},
  };
  for (const auto& c : cases) {
    seen_.missingHooks.clear();
    const auto response = run(kThreeKeyRow, kRecordTexts, c.payload);
    EXPECT_FALSE(response.success);
    EXPECT_EQ(response.error, c.error);
    EXPECT_FALSE(response.payload);
    EXPECT_EQ(seen_.missingHooks, c.hooks) << c.error;
  }
  EXPECT_FALSE(run(kThreeKeyRow, kRecordTexts, std::nullopt).success);
  EXPECT_EQ(seen_.runs, 0);
}

TEST_F(Frame, CheckedValuesReachTheWorkOnTheEngineQueueAndItsValueGoesUnderTheResultKey) {
  const auto response = run(kThreeKeyRow, kRecordTexts, Payload{{"a", ""}, {"b", "bee"}, {"c", " x "}, {"d", true}});
  EXPECT_TRUE(response.success);
  EXPECT_FALSE(response.error);
  EXPECT_EQ(response.payload, (Payload{{"value", "done"}}));
  EXPECT_EQ(seen_.runs, 1);
  EXPECT_TRUE(seen_.onEngineQueue);
  EXPECT_EQ(seen_.texts, (std::vector<std::string>{"", "bee", " x "}));  // passed on as received
}

TEST_F(Frame, TheEngineCheckComesFirst) {
  CommandRow needsEngine = kThreeKeyRow;
  needsEngine.needsEngine = true;
  const auto response = run(needsEngine, kRecordTexts, std::nullopt);
  EXPECT_EQ(response.error, "Not initialized");
  EXPECT_TRUE(seen_.missingHooks.empty()) << "no payload check before the engine check";
  EXPECT_EQ(seen_.runs, 0);
}

TEST_F(Frame, AFailedWorkAnswersItsTextWithoutPayloadAndASuccessWithoutKeyCarriesNone) {
  const CommandRow row{Command::answerCall, "STUB", false, {}, "value"};
  const auto refused = run(row, {Command::answerCall, true, refuse}, std::nullopt);
  EXPECT_FALSE(refused.success);
  EXPECT_EQ(refused.error, "refused: detail");
  EXPECT_FALSE(refused.payload);

  const CommandRow noKey{Command::answerCall, "STUB", false, {}, ""};
  const auto done = run(noKey, {Command::answerCall, true, answerDone}, std::nullopt);
  EXPECT_TRUE(done.success);
  EXPECT_FALSE(done.payload) << "a value without a result key is not answered";
}

TEST_F(Frame, AFlagIsTrueOnlyForAJsonTrueAndMirrorReadsStayOnTheRequestThread) {
  const CommandRow row{Command::setMicMuted, "STUB", false, kFlagKey, ""};
  const CommandWork onRequestThread{Command::setMicMuted, false, recordFlag};
  const std::pair<std::optional<Payload>, bool> cases[] = {
      {std::nullopt, false}, {Payload{}, false}, {Payload{{"on", "true"}}, false},
      {Payload{{"on", false}}, false}, {Payload{{"on", true}}, true}};
  for (const auto& [payload, flag] : cases) {
    EXPECT_TRUE(run(row, onRequestThread, payload).success);
    EXPECT_EQ(seen_.flag, flag);
    EXPECT_FALSE(seen_.onEngineQueue);
  }
  EXPECT_EQ(seen_.runs, 5);
}

// The helper's own table before INITIALIZE: what an application that
// forgot it, or sends too early, gets.
TEST(CommandTable, BeforeInitializeEngineCommandsAnswerNotInitializedWhateverTheirPayload) {
  HelperState state;
  for (const CommandRow& row : commandTable()) {
    if (!row.needsEngine) continue;
    for (const auto& payload : {std::optional<Payload>(), std::optional<Payload>(Payload{{"target", ""}})}) {
      const auto response = handle(state, request(row.command, payload));
      EXPECT_FALSE(response.success) << row.wireName;
      EXPECT_EQ(response.error, "Not initialized") << row.wireName;
    }
  }
}

TEST(CommandTable, BeforeInitializeTheRestAnswerFromTheMirrorOrDoNothing) {
  HelperState state;
  const auto answer = [&](Command command, std::optional<Payload> payload = std::nullopt) {
    return handle(state, request(command, std::move(payload)));
  };
  EXPECT_EQ(answer(Command::isInCall).payload, (Payload{{"inCall", false}}));
  EXPECT_EQ(answer(Command::getRegistrationState).payload, (Payload{{"state", "none"}}));
  EXPECT_EQ(answer(Command::getCurrentRemoteAddress).payload, (Payload{{"remoteAddress", ""}}));
  EXPECT_EQ(answer(Command::getCallState).payload,
            (Payload{{"state", "idle"}, {"remoteAddress", ""}, {"callLogStatus", "none"}}));
  for (Command quiet : {Command::hangupCall, Command::unregister, Command::setMicMuted}) {
    const auto response = answer(quiet);
    EXPECT_TRUE(response.success) << wireName(quiet);
    EXPECT_FALSE(response.payload) << wireName(quiet);
  }

  testing::internal::CaptureStderr();
  const auto noDigit = answer(Command::sendDtmf, Payload{{"digit", ""}});
  const auto noCore = answer(Command::sendDtmf, Payload{{"digit", "5"}});
  const std::string trace = testing::internal::GetCapturedStderr();
  EXPECT_EQ(noDigit.error, "Missing DTMF digit");
  EXPECT_EQ(noCore.error, "Not initialized");
  EXPECT_NE(trace.find("stage=helper_invalid_payload requestId=r1"), std::string::npos) << trace;
  EXPECT_NE(trace.find("stage=helper_no_core"), std::string::npos) << trace;
}

TEST(CommandTable, EveryCommandHasOneRowUnderItsOwnName) {
  std::set<std::string_view> names;
  for (const CommandRow& row : commandTable()) {
    EXPECT_TRUE(names.insert(row.wireName).second) << row.wireName;
    EXPECT_EQ(commandFromWireName(row.wireName), row.command);
    for (const PayloadKey& key : row.keys)
      EXPECT_TRUE(key.rule == KeyRule::flag || key.rule == KeyRule::optional || !key.missing.empty())
          << row.wireName << " " << key.name;
  }
  EXPECT_EQ(names.size(), kCommandCount);
}

}  // namespace
}  // namespace tavirel::bridge
