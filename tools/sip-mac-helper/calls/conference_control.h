// Local conference commands. All run on the engine queue.
#pragma once

#include <linphone/core.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tavirel::calls {

struct InviteOutcome {
  std::optional<std::string> error;
  std::size_t invitedCount = 0;
};

InviteOutcome inviteConference(LinphoneCore* core, const std::vector<std::string>& targets);
std::optional<std::string> removeConferenceParticipant(LinphoneCore* core,
                                                       const std::string& target);

}  // namespace tavirel::calls
