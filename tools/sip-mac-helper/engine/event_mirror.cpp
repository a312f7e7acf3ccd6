#include "engine/event_mirror.h"

#include <algorithm>
#include <array>
#include <memory>

#include "bridge/engine_queue.h"
#include "engine/sip_intake.h"

namespace tavirel::engine {
namespace {

// Indexed by the engine's call state value: the name trace lines use, then
// what the state does to the mirror.
struct CallStateRow {
  std::string_view traceName;
  CallStateMirror mirror;
};
constexpr std::array<CallStateRow, 22> kCallStates = {{
    {"Idle", {"idle", false, false}},
    {"IncomingReceived", {"incomingReceived", true, true}},
    {"PushIncomingReceived", {"idle", false, false}},
    {"OutgoingInit", {"outgoingInit", true, true}},
    {"OutgoingProgress", {"outgoingProgress", true, true}},
    {"OutgoingRinging", {"outgoingRinging", true, true}},
    {"OutgoingEarlyMedia", {"idle", false, false}},
    {"Connected", {"idle", false, false}},
    {"StreamsRunning", {"streamsRunning", true, true}},
    {"Pausing", {"idle", false, false}},
    {"Paused", {"idle", false, false}},
    {"Resuming", {"idle", false, false}},
    {"Referred", {"idle", false, false}},
    {"Error", {"error", false, false}},
    {"End", {"end", false, true}},
    {"PausedByRemote", {"idle", false, false}},
    {"UpdatedByRemote", {"idle", false, false}},
    {"IncomingEarlyMedia", {"idle", false, false}},
    {"Updating", {"idle", false, false}},
    {"Released", {"released", false, true}},
    {"EarlyUpdatedByRemote", {"idle", false, false}},
    {"EarlyUpdating", {"idle", false, false}},
}};
static_assert(LinphoneCallStateEarlyUpdating == kCallStates.size() - 1);
// Each row sits at the value of the engine's state of that name.
constexpr bool rowsFollowTheEngine() {
  const auto named = [](LinphoneCallState state, std::string_view name) {
    return kCallStates[static_cast<std::size_t>(state)].traceName == name;
  };
  return named(LinphoneCallStateIdle, "Idle") &&
         named(LinphoneCallStateIncomingReceived, "IncomingReceived") &&
         named(LinphoneCallStatePushIncomingReceived, "PushIncomingReceived") &&
         named(LinphoneCallStateOutgoingInit, "OutgoingInit") &&
         named(LinphoneCallStateOutgoingProgress, "OutgoingProgress") &&
         named(LinphoneCallStateOutgoingRinging, "OutgoingRinging") &&
         named(LinphoneCallStateOutgoingEarlyMedia, "OutgoingEarlyMedia") &&
         named(LinphoneCallStateConnected, "Connected") &&
         named(LinphoneCallStateStreamsRunning, "StreamsRunning") &&
         named(LinphoneCallStatePausing, "Pausing") &&
         named(LinphoneCallStatePaused, "Paused") &&
         named(LinphoneCallStateResuming, "Resuming") &&
         named(LinphoneCallStateReferred, "Referred") &&
         named(LinphoneCallStateError, "Error") &&
         named(LinphoneCallStateEnd, "End") &&
         named(LinphoneCallStatePausedByRemote, "PausedByRemote") &&
         named(LinphoneCallStateUpdatedByRemote, "UpdatedByRemote") &&
         named(LinphoneCallStateIncomingEarlyMedia, "IncomingEarlyMedia") &&
         named(LinphoneCallStateUpdating, "Updating") &&
         named(LinphoneCallStateReleased, "Released") &&
         named(LinphoneCallStateEarlyUpdatedByRemote, "EarlyUpdatedByRemote") &&
         named(LinphoneCallStateEarlyUpdating, "EarlyUpdating");
}
static_assert(rowsFollowTheEngine(), "call state rows must follow the engine's enum");

constexpr std::array<std::string_view, 7> kCallLogStatuses = {
    "success", "aborted", "missed", "declined", "earlyAborted", "acceptedElsewhere", "declinedElsewhere",
};
static_assert(LinphoneCallDeclinedElsewhere == kCallLogStatuses.size() - 1);

// None, Progress, Ok, Cleared, Failed, and Refreshing where the engine has it.
constexpr std::array<std::string_view, 6> kRegistrationStates = {
    "none", "progress", "ok", "cleared", "failed", "none",
};

// What the callbacks' user data points to; one per attached delegate.
struct DelegateContext {
  HelperState& state;
  EngineHooks hooks;
  LateReleaseFilter calls;  // engine queue only
  // Calls refused as they came in (a stranger's INVITE over a connection):
  // none of their events reaches the mirror. Engine queue only.
  std::vector<const LinphoneCall*> refused;
};

// A new call that reached us over TCP or TLS from elsewhere than the
// registrar while the account takes calls only through it. Datagrams are
// screened before the engine reads them (engine/sip_intake.h); a
// connection's requests can only be judged here, by their Via.
bool isStrangersCallOverAConnection(const HelperState& state, LinphoneCall* call) {
  if (!state.engine.sipIntake || !state.engine.sipIntake->policy().screenInvites) return false;
  const LinphoneCallParams* remote = linphone_call_get_remote_params(call);  // borrowed
  const char* via = remote ? linphone_call_params_get_custom_header(remote, "Via") : nullptr;
  if (via == nullptr) return false;
  const std::string transport = viaTransport(via);
  if (transport.empty() || transport == "UDP") return false;
  return !viaShowsTrustedHop(state.engine.sipIntake->policy(), via);
}

// Whether the mirror skips this event of `call`: refuses a stranger's call
// as it comes in, and keeps the refused call's later events out.
bool skipsRefusedCall(DelegateContext& context, LinphoneCall* call, LinphoneCallState callState) {
  const auto refused = std::find(context.refused.begin(), context.refused.end(), call);
  if (refused != context.refused.end()) {
    if (callState == LinphoneCallStateReleased) context.refused.erase(refused);
    return true;
  }
  if (callState != LinphoneCallStateIncomingReceived || !isStrangersCallOverAConnection(context.state, call))
    return false;
  context.refused.push_back(call);
  (void)linphone_call_decline(call, LinphoneReasonForbidden);
  return true;
}

// The handlers are called only from the engine's dispatch of our callbacks,
// during which they are the core's current ones.
DelegateContext& contextOf(LinphoneCore* core) {
  return *static_cast<DelegateContext*>(linphone_core_cbs_get_user_data(linphone_core_get_current_callbacks(core)));
}

void onCallStateChanged(LinphoneCore* core, LinphoneCall* call, LinphoneCallState callState, const char*) {
  assertOnEngineQueue();
  DelegateContext& context = contextOf(core);
  if (call && skipsRefusedCall(context, call, callState)) return;
  if (!context.calls.admits(call, callState)) return;
  std::string remote;
  if (callStateMirror(callState).recordsRemoteAddress && call) {
    if (const LinphoneAddress* address = linphone_call_get_remote_address(call)) {  // borrowed
      if (const Owned<char> text{linphone_address_as_string(address)}) remote = text.get();
    }
  }
  mirrorCallState(context.state.mirror, callState, remote);
}

void onCallLogUpdated(LinphoneCore* core, LinphoneCallLog* callLog) {
  assertOnEngineQueue();
  if (!callLog) return;
  DelegateContext& context = contextOf(core);
  for (const LinphoneCall* refused : context.refused)
    if (linphone_call_get_call_log(const_cast<LinphoneCall*>(refused)) == callLog) return;
  mirrorCallLogStatus(context.state.mirror, linphone_call_log_get_status(callLog));
}

void onAudioDeviceChanged(LinphoneCore* core, LinphoneAudioDevice*) {
  assertOnEngineQueue();
  DelegateContext& context = contextOf(core);
  if (context.hooks.audioDeviceChanged) context.hooks.audioDeviceChanged(context.state, core);
}

void onAudioDevicesListUpdated(LinphoneCore* core) {
  assertOnEngineQueue();
  DelegateContext& context = contextOf(core);
  if (context.hooks.audioDevicesListUpdated) context.hooks.audioDevicesListUpdated(context.state, core);
}

void onAccountRegistrationStateChanged(LinphoneCore* core, LinphoneAccount* account,
                                       LinphoneRegistrationState registrationState, const char*) {
  assertOnEngineQueue();
  mirrorRegistrationState(contextOf(core).state.mirror, account, registrationState);
}

}  // namespace

bool LateReleaseFilter::admits(const void* call, int callState) {
  if (callState == LinphoneCallStateReleased) {
    const auto ended = std::find(ended_.begin(), ended_.end(), call);
    const bool endedBefore = ended != ended_.end();
    if (endedBefore) ended_.erase(ended);
    if (endedBefore && latest_ != call) return false;
  } else if (callState == LinphoneCallStateEnd &&
             std::find(ended_.begin(), ended_.end(), call) == ended_.end()) {
    ended_.push_back(call);
  }
  latest_ = call;
  return true;
}

CallStateMirror callStateMirror(int callState) {
  if (callState < 0 || static_cast<std::size_t>(callState) >= kCallStates.size()) return kCallStates[0].mirror;
  return kCallStates[static_cast<std::size_t>(callState)].mirror;
}

std::string callStateTraceName(int callState) {
  if (callState < 0 || static_cast<std::size_t>(callState) >= kCallStates.size())
    return "Unknown(" + std::to_string(callState) + ")";
  return std::string(kCallStates[static_cast<std::size_t>(callState)].traceName);
}

std::string_view mapCallLogStatus(int callLogStatus) {
  if (callLogStatus < 0 || static_cast<std::size_t>(callLogStatus) >= kCallLogStatuses.size()) return "none";
  return kCallLogStatuses[static_cast<std::size_t>(callLogStatus)];
}

std::string_view registrationStateText(int registrationState) {
  if (registrationState < 0 || static_cast<std::size_t>(registrationState) >= kRegistrationStates.size())
    return "none";
  return kRegistrationStates[static_cast<std::size_t>(registrationState)];
}

void mirrorCallState(MirroredState& state, int callState, const std::string& remoteAddress) {
  const CallStateMirror mirror = callStateMirror(callState);
  std::lock_guard lock(state.stateLock);
  state.callStateStr = mirror.text;
  if (mirror.resetsCallLog) state.callLogStatusStr = "none";
  // Never cleared: after the call ends the peer can still ask who it was.
  if (mirror.recordsRemoteAddress && !remoteAddress.empty()) state.currentRemoteAddr = remoteAddress;
}

void mirrorCallLogStatus(MirroredState& state, int callLogStatus) {
  std::lock_guard lock(state.stateLock);
  state.callLogStatusStr = mapCallLogStatus(callLogStatus);
}

void mirrorRegistrationState(MirroredState& state, const LinphoneAccount* account,
                             LinphoneRegistrationState registrationState) {
  RegistrationCompletion completion;
  {
    std::lock_guard lock(state.stateLock);
    state.registrationStateStr = registrationStateText(registrationState);
    completion = state.registrationCompletion;
  }
  // Outside the lock: the completion wakes a waiter that then takes it.
  if (completion && completion.account == account) completion.onChange(registrationState);
}

void attachDelegate(HelperState& state, LinphoneCore* core, const EngineHooks& hooks) {
  assertOnEngineQueue();
  Owned<LinphoneCoreCbs> callbacks(linphone_factory_create_core_cbs(linphone_factory_get()));
  // Lives as long as the state, which outlives every core: a core dropped
  // after a failed start may still hold the callbacks until it is freed.
  auto context = std::shared_ptr<void>(new DelegateContext{state, hooks, {}, {}},
                                       [](void* p) { delete static_cast<DelegateContext*>(p); });
  LinphoneCoreCbs* cbs = callbacks.get();
  linphone_core_cbs_set_user_data(cbs, context.get());
  state.engine.delegateContexts.push_back(std::move(context));
  linphone_core_cbs_set_call_state_changed(cbs, onCallStateChanged);
  linphone_core_cbs_set_call_log_updated(cbs, onCallLogUpdated);
  linphone_core_cbs_set_audio_device_changed(cbs, onAudioDeviceChanged);
  linphone_core_cbs_set_audio_devices_list_updated(cbs, onAudioDevicesListUpdated);
  linphone_core_cbs_set_account_registration_state_changed(cbs, onAccountRegistrationStateChanged);
  linphone_core_add_callbacks(core, cbs);
  state.engine.coreDelegate = std::move(callbacks);
}

}  // namespace tavirel::engine
