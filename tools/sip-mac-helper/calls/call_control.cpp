#include "calls/call_control.h"

#include <bctoolbox/port.h>

#include <array>
#include <memory>

#include "bridge/engine_queue.h"
#include "bridge/trace.h"
#include "engine/engine_error.h"
#include "engine/event_mirror.h"
#include "engine/input_limits.h"
#include "engine/linphone_compat.h"
#include "bridge/owned.h"

namespace tavirel::calls {
namespace {

using engine::AddressPtr;
using engine::CallParamsPtr;
using engine::Operation;
using bridge::boolText;

// Parameters for a new call (`call` null) or for answering `call`: audio
// only, whatever the engine's defaults say about video.
CallParamsPtr audioOnlyParams(LinphoneCore* core, LinphoneCall* call) {
  CallParamsPtr params(linphone_core_create_call_params(core, call));
  if (params) {
    linphone_call_params_enable_audio(params.get(), TRUE);
    linphone_call_params_enable_video(params.get(), FALSE);
  }
  return params;
}

// The characters the engine's telephone-event encoder can send: the keypad
// digits, A-D in either case, and "!" (flash). The engine answers 0 for any
// other character too but sends nothing, so the key would be reported as
// sent when the far end never hears it.
bool engineCanSendDtmf(char key) {
  return (key >= '0' && key <= '9') || (key >= 'A' && key <= 'D') || (key >= 'a' && key <= 'd') ||
         key == '*' || key == '#' || key == '!';
}

// Whether `call` still has media to carry a digit. The anchor rule may pick
// a call that has already ended (one that 5.1 left in its list), and 5.1
// then sends into audio streams it has already freed.
bool callStillConnected(LinphoneCall* call) {
  switch (linphone_call_get_state(call)) {
    case LinphoneCallStateError:
    case LinphoneCallStateEnd:
    case LinphoneCallStateReleased:
      return false;
    default:
      return true;
  }
}

std::size_t callCount(LinphoneCore* core) {
  return bctbx_list_size(linphone_core_get_calls(core));
}

// "digit=<d> requestId=<id>", the start every DTMF stage line shares after
// its stage name.
std::string dtmfStageHead(std::string_view stage, const std::string& digit,
                          const std::string& requestId) {
  std::string line = "stage=";
  line += stage;
  line += " digit=" + digit + " requestId=" + requestId;
  return line;
}

}  // namespace

std::string remoteUriText(LinphoneCall* call) {
  const LinphoneAddress* remote = linphone_call_get_remote_address(call);  // borrowed
  if (remote == nullptr) return {};
  engine::Owned<char> text(linphone_address_as_string_uri_only(remote));
  return text ? std::string(text.get()) : std::string();
}

LinphoneAddress* interpretTarget(LinphoneCore* core, const std::string& target) {
  assertOnEngineQueue();
  if (!engine::fitsCallTarget(target)) return nullptr;
  return engine::interpretUrl(core, target.c_str(), false);
}

WorkResult makeCall(LinphoneCore* core, const std::string& target) {
  assertOnEngineQueue();
  AddressPtr address(interpretTarget(core, target));
  if (!address) return WorkResult::failed("Invalid SIP address: " + target);
  CallParamsPtr params = audioOnlyParams(core, nullptr);
  if (!params) return engine::failedIn(Operation::makeCall, engine::nullFailure("CallParams"));
  // The call object, when there is one, belongs to the engine; a refused
  // call is reported through its state events, not here.
  (void)linphone_core_invite_address_with_params(core, address.get(), params.get());
  return WorkResult::done();
}

WorkResult answerCall(LinphoneCore* core) {
  assertOnEngineQueue();
  LinphoneCall* call = linphone_core_get_current_call(core);  // borrowed
  if (call == nullptr) return WorkResult::failed("No current call");
  CallParamsPtr params = audioOnlyParams(core, call);
  if (!params) return engine::failedIn(Operation::accept, engine::nullFailure("CallParams"));
  const LinphoneStatus status = linphone_call_accept_with_params(call, params.get());
  if (status != 0) return engine::failedIn(Operation::accept, engine::statusFailure("acceptWithParams", status));
  return WorkResult::done();
}

namespace {

bool hasCallOutsideConference(LinphoneCore* core) {
  for (const bctbx_list_t* it = linphone_core_get_calls(core); it != nullptr; it = bctbx_list_next(it)) {
    auto* call = static_cast<LinphoneCall*>(bctbx_list_get_data(it));
    const LinphoneCallState state = linphone_call_get_state(call);
    if (state == LinphoneCallStateEnd || state == LinphoneCallStateReleased || state == LinphoneCallStateError)
      continue;
    if (linphone_call_get_conference(call) == nullptr) return true;
  }
  return false;
}

}  // namespace

void hangupCall(LinphoneCore* core) {
  assertOnEngineQueue();
  if (core == nullptr) return;
  if (LinphoneCall* call = linphone_core_get_current_call(core)) {
    LinphoneConference* conference = linphone_call_get_conference(call);
    // Only a conference hosted here is ended as a whole. A participant's
    // call belongs to the host's conference too, and liblinphone 5.1 crashes
    // when asked to terminate it from the participant's side; for a
    // participant, hanging up ends its calls as below.
    if (conference != nullptr && conference == linphone_core_get_conference(core)) {
      if (linphone_conference_terminate(conference) >= 0) return;
    }
  }
  // Ending the local conference says nothing about calls outside it: with
  // an empty conference left over (an invitation that found nobody to
  // call), the engine ends just that and reports success while the call
  // the user hangs up goes on. So whatever is still outside a conference
  // afterwards is ended too.
  if (linphone_core_terminate_conference(core) != 0 || hasCallOutsideConference(core))
    (void)linphone_core_terminate_all_calls(core);
}

void setMicMuted(LinphoneCore* core, bool muted) {
  assertOnEngineQueue();
  if (core == nullptr) return;
  linphone_core_enable_mic(core, muted ? FALSE : TRUE);
}

WorkResult sendDtmf(LinphoneCore* core, const std::string& requestId, const std::string& digit, char firstByte) {
  assertOnEngineQueue();
  if (core == nullptr) {
    bridge::writeDtmfLog(dtmfStageHead("helper_no_core", digit, requestId));
    return WorkResult::failed("Not initialized");
  }
  // A tone still playing locally from an earlier digit would overlap this one.
  linphone_core_stop_dtmf(core);

  LinphoneCall* call = resolveConferenceAnchorCall(core);  // borrowed
  const bool currentCallPresent = linphone_core_get_current_call(core) != nullptr;
  const std::string callCountText = std::to_string(callCount(core));
  if (call == nullptr) {
    bridge::writeDtmfLog(dtmfStageHead("helper_no_call", digit, requestId) +
                         " currentCallPresent=" + boolText(currentCallPresent) +
                         " activeCallCount=" + callCountText + " callStates=[" +
                         describeCallStates(core) + "]");
    return WorkResult::failed("No current call");
  }
  bridge::writeDtmfLog(dtmfStageHead("helper_selected_call", digit, requestId) +
                       " currentCallPresent=" + boolText(currentCallPresent) +
                       " activeCallCount=" + callCountText + " selectedRemote=" +
                       remoteUriText(call) + " selectedState=" +
                       engine::callStateTraceName(linphone_call_get_state(call)) + " callStates=[" +
                       describeCallStates(core) + "]");

  const LinphoneStatus status =
      engineCanSendDtmf(firstByte) && callStillConnected(call) ? linphone_call_send_dtmf(call, firstByte) : -1;
  if (status != 0) {
    const std::string description = engine::statusFailure("sendDtmf", status);
    bridge::writeDtmfLog(dtmfStageHead("helper_send_error", digit, requestId) + " error=" +
                         description);
    return engine::failedIn(Operation::sendDtmf, description);
  }
  // Read again: sending may have moved the call on.
  bridge::writeDtmfLog(dtmfStageHead("helper_send_success", digit, requestId) +
                       " selectedRemote=" + remoteUriText(call) + " selectedState=" +
                       engine::callStateTraceName(linphone_call_get_state(call)));
  return WorkResult::done();
}

LinphoneCall* resolveConferenceAnchorCall(LinphoneCore* core) {
  assertOnEngineQueue();
  if (LinphoneCall* current = linphone_core_get_current_call(core)) return current;
  const bctbx_list_t* calls = linphone_core_get_calls(core);  // borrowed
  for (const bctbx_list_t* it = calls; it != nullptr; it = bctbx_list_next(it)) {
    auto* call = static_cast<LinphoneCall*>(bctbx_list_get_data(it));
    switch (linphone_call_get_state(call)) {
      case LinphoneCallStateStreamsRunning:
      case LinphoneCallStateOutgoingProgress:
      case LinphoneCallStateOutgoingRinging:
      case LinphoneCallStateOutgoingInit:
      case LinphoneCallStatePaused:
      case LinphoneCallStatePausedByRemote:
        return call;
      default:
        break;
    }
  }
  return calls != nullptr ? static_cast<LinphoneCall*>(bctbx_list_get_data(calls)) : nullptr;
}

std::string describeCallStates(LinphoneCore* core) {
  assertOnEngineQueue();
  std::string text;
  std::size_t index = 0;
  for (const bctbx_list_t* it = linphone_core_get_calls(core); it != nullptr;
       it = bctbx_list_next(it), ++index) {
    auto* call = static_cast<LinphoneCall*>(bctbx_list_get_data(it));
    if (index > 0) text += " | ";
    text += "#" + std::to_string(index) + ":state=" + engine::callStateTraceName(linphone_call_get_state(call)) +
            " remote=" + remoteUriText(call) +
            " conference=" + boolText(linphone_call_get_conference(call) != nullptr);
  }
  return text;
}

}  // namespace tavirel::calls
