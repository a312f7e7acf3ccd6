#include "calls/conference_control.h"

namespace tavirel::calls {

InviteOutcome inviteConference(LinphoneCore*, const std::vector<std::string>&) {
  return {"not built yet", 0};
}

std::optional<std::string> removeConferenceParticipant(LinphoneCore*, const std::string&) {
  return "not built yet";
}

}  // namespace tavirel::calls
