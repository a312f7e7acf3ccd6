#include "engine/event_mirror.h"

#include <array>

#include "audio/platform_audio.h"

namespace tavirel::engine {
namespace {

// Indexed by the engine's call state value.
constexpr std::array<CallStateMirror, 22> kCallStates = {{
    {"idle", false, false},              // Idle
    {"incomingReceived", true, true},    // IncomingReceived
    {"idle", false, false},              // PushIncomingReceived
    {"outgoingInit", true, true},        // OutgoingInit
    {"outgoingProgress", true, true},    // OutgoingProgress
    {"outgoingRinging", true, true},     // OutgoingRinging
    {"idle", false, false},              // OutgoingEarlyMedia
    {"idle", false, false},              // Connected
    {"streamsRunning", true, true},      // StreamsRunning
    {"idle", false, false},              // Pausing
    {"idle", false, false},              // Paused
    {"idle", false, false},              // Resuming
    {"idle", false, false},              // Referred
    {"error", false, false},             // Error
    {"end", false, true},                // End
    {"idle", false, false},              // PausedByRemote
    {"idle", false, false},              // UpdatedByRemote
    {"idle", false, false},              // IncomingEarlyMedia
    {"idle", false, false},              // Updating
    {"released", false, true},           // Released
    {"idle", false, false},              // EarlyUpdatedByRemote
    {"idle", false, false},              // EarlyUpdating
}};
static_assert(LinphoneCallStateEarlyUpdating == kCallStates.size() - 1);

constexpr std::array<std::string_view, 7> kCallLogStatuses = {
    "success", "aborted", "missed", "declined", "earlyAborted", "acceptedElsewhere", "declinedElsewhere",
};
static_assert(LinphoneCallDeclinedElsewhere == kCallLogStatuses.size() - 1);

// None, Progress, Ok, Cleared, Failed, and Refreshing where the engine has it.
constexpr std::array<std::string_view, 6> kRegistrationStates = {
    "none", "progress", "ok", "cleared", "failed", "none",
};

void onCallStateChanged(LinphoneCore*, LinphoneCall* call, LinphoneCallState callState, const char*) {
  std::string remote;
  if (callStateMirror(callState).recordsRemoteAddress && call) {
    if (const LinphoneAddress* address = linphone_call_get_remote_address(call)) {  // borrowed
      if (char* text = linphone_address_as_string(address)) {
        remote = text;
        bctbx_free(text);
      }
    }
  }
  mirrorCallState(helperState(), callState, remote);
}

void onCallLogUpdated(LinphoneCore*, LinphoneCallLog* callLog) {
  if (callLog) mirrorCallLogStatus(helperState(), linphone_call_log_get_status(callLog));
}

void onAudioDeviceChanged(LinphoneCore* core, LinphoneAudioDevice*) {
  audio::configurePlaybackGain(core);
}

void onAudioDevicesListUpdated(LinphoneCore* core) {
  audio::reloadSoundDevicesIfNeeded(core);
  audio::configurePlaybackGain(core);
}

void onAccountRegistrationStateChanged(LinphoneCore*, LinphoneAccount*, LinphoneRegistrationState registrationState,
                                       const char*) {
  mirrorRegistrationState(helperState(), registrationState);
}

}  // namespace

CallStateMirror callStateMirror(int callState) {
  if (callState < 0 || static_cast<std::size_t>(callState) >= kCallStates.size()) return kCallStates[0];
  return kCallStates[static_cast<std::size_t>(callState)];
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

void mirrorCallState(HelperState& state, int callState, const std::string& remoteAddress) {
  const CallStateMirror mirror = callStateMirror(callState);
  std::lock_guard lock(state.stateLock);
  state.callStateStr = mirror.text;
  if (mirror.resetsCallLog) state.callLogStatusStr = "none";
  // Never cleared: after the call ends the peer can still ask who it was.
  if (mirror.recordsRemoteAddress && !remoteAddress.empty()) state.currentRemoteAddr = remoteAddress;
}

void mirrorCallLogStatus(HelperState& state, int callLogStatus) {
  std::lock_guard lock(state.stateLock);
  state.callLogStatusStr = mapCallLogStatus(callLogStatus);
}

void mirrorRegistrationState(HelperState& state, LinphoneRegistrationState registrationState) {
  std::function<void(LinphoneRegistrationState)> completion;
  {
    std::lock_guard lock(state.stateLock);
    state.registrationStateStr = registrationStateText(registrationState);
    completion = state.registrationCompletion;
  }
  // Outside the lock: the completion wakes a waiter that then takes it.
  if (completion) completion(registrationState);
}

void attachDelegate(HelperState& state, LinphoneCore* core) {
  LinphoneCoreCbs* callbacks = linphone_factory_create_core_cbs(linphone_factory_get());
  linphone_core_cbs_set_call_state_changed(callbacks, onCallStateChanged);
  linphone_core_cbs_set_call_log_updated(callbacks, onCallLogUpdated);
  linphone_core_cbs_set_audio_device_changed(callbacks, onAudioDeviceChanged);
  linphone_core_cbs_set_audio_devices_list_updated(callbacks, onAudioDevicesListUpdated);
  linphone_core_cbs_set_account_registration_state_changed(callbacks, onAccountRegistrationStateChanged);
  linphone_core_add_callbacks(core, callbacks);
  if (state.coreDelegate) linphone_core_cbs_unref(state.coreDelegate);
  state.coreDelegate = callbacks;  // our reference; the core holds its own
}

}  // namespace tavirel::engine
