// The engine event mirror: engine callbacks keep the mirrored state strings
// current, hand the registration outcome to a waiting REGISTER, and re-apply
// audio settings when the device set changes.
//
// Every handler runs on the engine queue (from inside the iteration or an
// engine call made there). The strings and registrationCompletion are written
// under stateLock, which is held only to copy or write them; the completion
// is called after the lock is released.
#pragma once

#include <linphone/core.h>

#include <string>
#include <string_view>
#include <vector>

#include "bridge/helper_state.h"

namespace tavirel::engine {

// What one engine call state does to the mirror.
struct CallStateMirror {
  std::string_view text;     // written to callStateStr; "idle" for unnamed states
  bool resetsCallLog;        // callLogStatusStr goes back to "none"
  bool recordsRemoteAddress; // a non-empty remote address replaces currentRemoteAddr
};
CallStateMirror callStateMirror(int callState);
// The engine's own name of a call state ("StreamsRunning" for 8), as trace
// lines write it; a value outside the engine's range is "Unknown(<value>)".
std::string callStateTraceName(int callState);

// Which call-state events reach the mirror. The engine takes an ended call
// off its list before it releases it, so the release can come after the
// next call's first events; mirrored, it would make that call read
// "released" (and its remote the old one's) while it rings or streams. A
// release is therefore dropped when its call has already ended and another
// call has had an event since; every other event passes. Calls are told
// apart by identity only.
class LateReleaseFilter {
 public:
  bool admits(const void* call, int callState);

 private:
  const void* latest_ = nullptr;     // the call of the last event that passed
  std::vector<const void*> ended_;  // calls that passed End and are not released yet
};

// "success", "aborted", ... for an engine call-log status; "none" for a value
// this engine version does not define.
std::string_view mapCallLogStatus(int callLogStatus);

// "none", "progress", "ok", "cleared", "failed"; a refresh (newer engines) and
// unknown values read "none".
std::string_view registrationStateText(int registrationState);

// What the layers above the engine do with a new core, so the engine layer
// needs none of them. Each runs on the engine queue; null ones are skipped.
struct EngineHooks {
  void (*audioDeviceChanged)(HelperState&, LinphoneCore*) = nullptr;       // the current device changed
  void (*audioDevicesListUpdated)(HelperState&, LinphoneCore*) = nullptr;  // the engine's device list changed
  void (*started)(HelperState&, LinphoneCore*) = nullptr;  // once, right after the core has started
};

// Registers the five handlers with `core` (before it starts), with `state`
// and `hooks` as the callbacks' user data, and keeps the callbacks object in
// state.engine.coreDelegate. Engine queue.
void attachDelegate(HelperState& state, LinphoneCore* core, const EngineHooks& hooks);

// The handlers' effect on the mirrored state, apart from the engine objects
// they read. Engine queue in the program; any thread in tests.
void mirrorCallState(MirroredState& state, int callState, const std::string& remoteAddress);
void mirrorCallLogStatus(MirroredState& state, int callLogStatus);
// Writes registrationStateStr whichever account changed, then, after
// releasing stateLock, calls a present registrationCompletion with
// `registrationState` when the change is of the completion's own account.
void mirrorRegistrationState(MirroredState& state, const LinphoneAccount* account,
                             LinphoneRegistrationState registrationState);

}  // namespace tavirel::engine
