// Starting the engine: the INITIALIZE command's two halves.
#pragma once

#include <optional>
#include <string>

#include "bridge/helper_state.h"

namespace tavirel::engine {

// Request thread: where the SDK is and whether its library is there.
struct SdkCheck {
  std::optional<std::string> root;
  std::optional<std::string> problem;  // set when INITIALIZE must fail
};
SdkCheck checkSdk(const std::string& executablePath);

// Engine queue: creates, configures and starts the core when there is none
// yet, then wires the event mirror, audio defaults, device listener and
// iteration timer. Does nothing when the core exists. Returns the error text.
std::optional<std::string> startEngineIfAbsent(HelperState& state);

}  // namespace tavirel::engine
