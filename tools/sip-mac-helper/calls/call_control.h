// Single-call commands: placing, answering and ending calls, microphone mute
// and DTMF, plus the two helpers the conference commands share (which call to
// act on, and every call rendered as one diagnostic text).
//
// Everything here runs on the engine queue and keeps nothing between calls:
// each command reads the engine afresh. None of it writes the mirrored call
// state; that changes only through engine events.
#pragma once

#include <linphone/core.h>

#include <optional>
#include <string>
#include <string_view>

#include "bridge/work_result.h"

namespace tavirel::calls {

// Invites `target`, interpreted exactly as typed, with audio on and video
// off. Errors: "Invalid SIP address: <target>" (also for a target too long
// to interpret, see interpretTarget), "makeCall failed: ...". A
// call the engine refuses later still counts as success here; its failure
// shows up through call state events.
WorkResult makeCall(LinphoneCore* core, const std::string& target);
// Accepts the engine's current call only. Errors: "No current call",
// "accept failed: ...".
WorkResult answerCall(LinphoneCore* core);
// Ends the current call's conference, else every call. Null `core` does
// nothing. Never fails.
void hangupCall(LinphoneCore* core);
// True mutes the microphone, false unmutes. Null `core` does nothing.
void setMicMuted(LinphoneCore* core, bool muted);
// Sends `firstByte` as one DTMF digit on resolveConferenceAnchorCall's call;
// `digit` (the whole text as received) and `requestId` only go into the
// trace lines. Null `core` answers "Not initialized" with its trace line.
// Errors: "Not initialized", "No current call", "sendDtmf failed: ...".
WorkResult sendDtmf(LinphoneCore* core, const std::string& requestId, const std::string& digit, char firstByte);

// The call a command should act on when the engine holds several: the
// current call, else the first call (in the engine's order) that is running,
// paused or being set up outward, else the first call whatever its state.
// Null when there is no call. Borrowed: the engine owns it.
LinphoneCall* resolveConferenceAnchorCall(LinphoneCore* core);
// Every call of the engine as "#<i>:state=<name> remote=<uri> conference=<bool>",
// joined with " | "; empty without calls.
std::string describeCallStates(LinphoneCore* core);

// The engine address for `target` as the user typed it, or null when it
// does not interpret or is too long to be one (engine/input_limits.h); the
// length is tested first, so an oversized text never reaches the engine's
// parser. The caller owns the result (linphone_address_unref).
LinphoneAddress* interpretTarget(LinphoneCore* core, const std::string& target);

// The call's remote address as a bare URI; empty when it has none.
std::string remoteUriText(LinphoneCall* call);

}  // namespace tavirel::calls
