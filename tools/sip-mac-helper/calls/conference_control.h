// Local conference commands: turning the call in progress into a conference
// hosted here, inviting more people into it, and dropping a participant.
//
// Everything here runs on the engine queue and keeps nothing between calls:
// the conference lives in the engine and is found again through its calls.
// Nothing is rolled back when a step fails: a conference created before the
// failure stays, a participant already removed stays removed.
#pragma once

#include <linphone/core.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "bridge/work_result.h"

namespace tavirel::calls {

// Invites every target (non-empty, trimmed, in order, duplicates kept) into
// the active conference, creating one around resolveConferenceAnchorCall's
// call when there is none. Targets that do not interpret, or are too long
// to (interpretTarget), are skipped; a
// party named twice, or in the conference already, is called once only but
// counted with the others. The value is that count, as text. Writes the four
// "[CONF_INVITE_TRACE] stage=..." lines. Errors: "Unable to create
// conference: ...", "No callable participants", "inviteConference failed: ...".
WorkResult inviteConference(LinphoneCore* core, const std::vector<std::string>& targets);

// Takes `target` (as received) out of the current call's conference and ends
// a direct call to it. Errors: "Invalid conference target: <target>",
// "removeConferenceParticipant failed: ...", "terminate participant call
// failed: ...", "Conference participant not found". Never crashes on an
// address that is not a participant.
WorkResult removeConferenceParticipant(LinphoneCore* core, const std::string& target);

// The conference of the current call, else that of the first call (in the
// engine's order) that has one; null without. Borrowed: the engine owns it.
LinphoneConference* resolveActiveConference(LinphoneCore* core);

// `targets` as the adapter trace writes them: ["a", "b"], each quoted with
// `"` and `\` escaped and control characters escaped as in JSON, so a target
// with a line break still leaves the trace on one line.
std::string quotedTargetList(const std::vector<std::string>& targets);

// What the two steps of a participant removal did. The descriptions are the
// engine failure texts, set only for the failed step.
struct RemovalSteps {
  enum class Conference { removed, failed, notAttempted };
  enum class DirectCall { none, terminated, terminateFailed };
  Conference conference = Conference::notAttempted;
  std::string conferenceFailure;
  DirectCall directCall = DirectCall::none;
  std::string terminateFailure;
};

// The command's answer for those steps: a failed hang-up outranks a failed
// removal; having done neither is "Conference participant not found".
std::optional<std::string> removalOutcome(const RemovalSteps& steps);

}  // namespace tavirel::calls
