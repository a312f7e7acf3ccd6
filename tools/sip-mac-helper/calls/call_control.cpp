#include "calls/call_control.h"

#include "bridge/trace.h"

namespace tavirel::calls {

std::optional<std::string> makeCall(LinphoneCore*, const std::string&) { return "not built yet"; }
std::optional<std::string> answerCall(LinphoneCore*) { return "not built yet"; }
void hangupCall(LinphoneCore*) {}
void setMicMuted(LinphoneCore*, bool) {}

std::optional<std::string> sendDtmf(LinphoneCore* core, const std::string& requestId,
                                    const std::string& digit, char) {
  if (!core) {
    bridge::writeDtmfLog("stage=helper_no_core digit=" + digit + " requestId=" + requestId);
    return "Not initialized";
  }
  return "not built yet";
}

LinphoneCall* resolveConferenceAnchorCall(LinphoneCore*) { return nullptr; }
std::string describeCallStates(LinphoneCore*) { return ""; }

}  // namespace tavirel::calls
