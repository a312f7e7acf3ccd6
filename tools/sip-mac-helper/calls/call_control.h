// Single-call commands. All run on the engine queue.
#pragma once

#include <linphone/core.h>

#include <optional>
#include <string>

namespace tavirel::calls {

std::optional<std::string> makeCall(LinphoneCore* core, const std::string& target);
std::optional<std::string> answerCall(LinphoneCore* core);
// Null `core` does nothing.
void hangupCall(LinphoneCore* core);
// Null `core` does nothing.
void setMicMuted(LinphoneCore* core, bool muted);
// Null `core` answers "Not initialized" with its trace line.
std::optional<std::string> sendDtmf(LinphoneCore* core, const std::string& requestId,
                                    const std::string& digit, char firstByte);

// The call a command should act on when the engine holds several: the
// current call, else the first active one, else the first one. Borrowed.
LinphoneCall* resolveConferenceAnchorCall(LinphoneCore* core);
// Every call of the engine as one diagnostic text.
std::string describeCallStates(LinphoneCore* core);

}  // namespace tavirel::calls
