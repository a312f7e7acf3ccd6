// The conference path's pure decisions: how the adapter trace writes the
// targets, and which answer a participant removal gives for what its two
// engine steps did. The engine itself is exercised by conference_e2e_test.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "calls/conference_control.h"

namespace tavirel::calls {
namespace {

TEST(AdapterTraceTargets, QuotesEachTargetAndKeepsOrderAndDuplicates) {
  EXPECT_EQ(quotedTargetList({}), "[]");
  EXPECT_EQ(quotedTargetList({"sip:carol@example.org"}), "[\"sip:carol@example.org\"]");
  EXPECT_EQ(quotedTargetList({"b", "a", "b"}), "[\"b\", \"a\", \"b\"]");
  EXPECT_EQ(quotedTargetList({"Zoë <sip:zoe@höst>"}), "[\"Zoë <sip:zoe@höst>\"]");
}

TEST(AdapterTraceTargets, EscapesQuotesBackslashesAndLineBreaksSoTheTraceStaysOneLine) {
  EXPECT_EQ(quotedTargetList({"say \"hi\"", "C:\\dir\\"}), R"(["say \"hi\"", "C:\\dir\\"])");
  const std::string list = quotedTargetList({"a\nb", "c\rd", "e\tf", std::string("g\0h", 3), "\x1b[31m"});
  EXPECT_EQ(list, R"(["a\nb", "c\rd", "e\tf", "g\u0000h", "\u001b[31m"])");
  for (const char c : list) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << list;
}

TEST(AdapterTraceTargets, BrokenUtf8StillGivesOneClosedList) {
  const std::string list = quotedTargetList({"a\xff\n", "b"});
  EXPECT_EQ(list, "[\"a\xEF\xBF\xBD\\n\", \"b\"]");
}

// Every row of the removal's outcome table.
TEST(ParticipantRemovalOutcome, FollowsTheOutcomeTable) {
  using Conference = RemovalSteps::Conference;
  using DirectCall = RemovalSteps::DirectCall;
  const std::string removeFailure = "exception(result: \"removeParticipant returned value -1\")";
  const std::string terminateFailure = "exception(result: \"terminate returned value -1\")";
  const std::optional<std::string> success;
  const std::string removeError = "removeConferenceParticipant failed: " + removeFailure;
  const std::string terminateError = "terminate participant call failed: " + terminateFailure;

  struct Row {
    Conference conference;
    DirectCall directCall;
    std::optional<std::string> expected;
  };
  const std::vector<Row> rows = {
      {Conference::removed, DirectCall::none, success},
      {Conference::removed, DirectCall::terminated, success},
      {Conference::removed, DirectCall::terminateFailed, terminateError},
      {Conference::failed, DirectCall::none, removeError},
      {Conference::failed, DirectCall::terminated, removeError},
      {Conference::failed, DirectCall::terminateFailed, terminateError},
      {Conference::notAttempted, DirectCall::none, "Conference participant not found"},
      {Conference::notAttempted, DirectCall::terminated, success},
      {Conference::notAttempted, DirectCall::terminateFailed, terminateError},
  };
  for (const Row& row : rows) {
    RemovalSteps steps;
    steps.conference = row.conference;
    steps.directCall = row.directCall;
    if (row.conference == Conference::failed) steps.conferenceFailure = removeFailure;
    if (row.directCall == DirectCall::terminateFailed) steps.terminateFailure = terminateFailure;
    EXPECT_EQ(removalOutcome(steps), row.expected)
        << "conference step " << static_cast<int>(row.conference) << ", direct call "
        << static_cast<int>(row.directCall);
  }
}

}  // namespace
}  // namespace tavirel::calls
