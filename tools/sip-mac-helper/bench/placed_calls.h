// Calls the phases place between the programs under test: set up until both
// sides stream, held as long as a phase measures, then ended until neither
// side has a call. Each throws std::runtime_error, with the programs' logs,
// when a step does not happen within its deadline.
#pragma once

#include <string>

#include "programs.h"

namespace tavirel::bench {

// MAKE_CALL from `caller` to `target`; `callee` answers as soon as it shows
// the call ringing. Returns once both show streamsRunning: the time since
// MAKE_CALL, in milliseconds.
double setUpHelperCall(Running& caller, Running& callee, const std::string& target);
// Whether `helper` shows the call it was sent ringing; answers it then.
bool answerWhenRinging(Running& helper);
// HANGUP_CALL on `hangingUp`; returns once neither side is in a call.
void endHelperCall(Running& hangingUp, Running& other);

struct PeerCall {
  int callerId = 0, calleeId = 0;
  double setUpMs = 0;
};
// The same between two peers, by their daemons' commands.
PeerCall setUpPeerCall(Running& caller, Running& callee, const std::string& target);
void endPeerCall(Running& caller, Running& callee, const PeerCall& call);

}  // namespace tavirel::bench
