// The request loop: one line in, one response line out, in order, until the
// input ends or nobody reads the answers any more.
#pragma once

#include <functional>
#include <string_view>

#include "bridge/helper_state.h"
#include "bridge/line_transport.h"
#include "bridge/protocol.h"

namespace tavirel::bridge {

enum class ServeEnd {
  inputEnded,  // every line read has been answered
  peerGone,    // a response could not be written; the rest goes unread
};

using Responder = std::function<HelperBridgeResponse(std::string_view line)>;

// Answers each line of `input` on `output` with `respond`'s response, or
// with the fallback line when that response cannot be encoded.
ServeEnd serve(LineReader& input, LineWriter& output, const Responder& respond);

// The helper's loop: each line goes through respondTo with `state`.
ServeEnd serve(LineReader& input, LineWriter& output, HelperState& state);

}  // namespace tavirel::bridge
