#include "bridge/request_loop.h"

#include <string>

#include "bridge/dispatcher.h"

namespace tavirel::bridge {

ServeEnd serve(LineReader& input, LineWriter& output, const Responder& respond) {
  std::string line;
  while (input.next(line)) {
    auto encoded = encodeResponse(respond(line));
    const bool written = output.writeLine(encoded ? std::move(*encoded) : std::string(kEncodingFallbackResponse));
    if (!written) return ServeEnd::peerGone;
  }
  return ServeEnd::inputEnded;
}

ServeEnd serve(LineReader& input, LineWriter& output, HelperState& state) {
  return serve(input, output, [&state](std::string_view line) { return respondTo(state, line); });
}

}  // namespace tavirel::bridge
