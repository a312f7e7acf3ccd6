// `handle`: turns one decoded request into its response.
//
// For each command the frame runs the same steps: engine check, payload
// check in key order, one synchronous hop onto the engine queue for the
// command's work, outcome to response. Command functions only ever see
// validated values and report failures as an error text.
#pragma once

#include "bridge/helper_state.h"
#include "bridge/protocol.h"

namespace tavirel::bridge {

// Request thread only, one request at a time. Never fails: every problem
// becomes a response with success false.
HelperBridgeResponse handle(HelperState& state, const HelperBridgeRequest& request);

// Decode-or-answer for one raw line, then `handle`.
HelperBridgeResponse respondTo(HelperState& state, std::string_view line);

}  // namespace tavirel::bridge
