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

#include "bridge/helper_state.h"

namespace tavirel::engine {

// What one engine call state does to the mirror.
struct CallStateMirror {
  std::string_view text;     // written to callStateStr; "idle" for unnamed states
  bool resetsCallLog;        // callLogStatusStr goes back to "none"
  bool recordsRemoteAddress; // a non-empty remote address replaces currentRemoteAddr
};
CallStateMirror callStateMirror(int callState);

// "success", "aborted", ... for an engine call-log status; "none" for a value
// this engine version does not define.
std::string_view mapCallLogStatus(int callLogStatus);

// "none", "progress", "ok", "cleared", "failed"; a refresh (newer engines) and
// unknown values read "none".
std::string_view registrationStateText(int registrationState);

// Registers the five handlers with `core` (before it starts) and keeps the
// callbacks object in state.coreDelegate. Engine queue.
void attachDelegate(HelperState& state, LinphoneCore* core);

// The handlers' effect on the mirrored state, apart from the engine objects
// they read. Engine queue in the program; any thread in tests.
void mirrorCallState(HelperState& state, int callState, const std::string& remoteAddress);
void mirrorCallLogStatus(HelperState& state, int callLogStatus);
// Writes registrationStateStr, then calls a present registrationCompletion
// with `registrationState` after releasing stateLock.
void mirrorRegistrationState(HelperState& state, LinphoneRegistrationState registrationState);

}  // namespace tavirel::engine
