// Feeds arbitrary bytes through everything a request line meets before the
// engine exists: line framing, decoding, the dispatcher with its payload
// checks and engine-free work items, and response encoding.
//
// INITIALIZE is the one command that would start a real engine; it is
// answered as if the SDK were missing, which is the same frame path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "bridge/dispatcher.h"
#include "bridge/protocol.h"

namespace {

void respondToLine(std::string_view line) {
  using namespace tavirel;
  auto decoded = bridge::decodeRequest(line);
  bridge::HelperBridgeResponse response;
  if (auto* request = std::get_if<bridge::HelperBridgeRequest>(&decoded)) {
    if (request->command == bridge::HelperBridgeCommand::initialize) return;
    response = bridge::handle(helperState(), *request);
    if (response.requestId != request->requestId) std::abort();
  } else {
    response = bridge::respondTo(helperState(), line);
    if (!response.error || response.error->rfind(bridge::kInvalidRequestPrefix, 0) != 0) std::abort();
  }
  // Whatever came in, what goes out must be one line of JSON.
  const auto encoded = bridge::encodeResponse(response);
  if (!encoded) std::abort();
  if (encoded->find('\n') != std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // Split like the transport does: every LF ends a line, the tail counts.
  while (true) {
    const auto lf = input.find('\n');
    respondToLine(input.substr(0, lf));
    if (lf == std::string_view::npos) break;
    input.remove_prefix(lf + 1);
    if (input.empty()) break;
  }
  return 0;
}
