// Starting the engine: the INITIALIZE command's two halves.
#pragma once

#include <optional>
#include <string>

#include "bridge/helper_state.h"
#include "bridge/work_result.h"
#include "engine/event_mirror.h"

namespace tavirel::engine {

// Request thread: where the SDK is and whether its library is there.
struct SdkCheck {
  std::optional<std::string> root;
  std::optional<std::string> problem;  // set when INITIALIZE must fail
};
SdkCheck checkSdk(const std::string& executablePath);

// Engine queue: creates, configures and starts the core when there is none
// yet, with the media plugins of the SDK at `sdkRoot` (kEnginePluginsRelativePath), wires the event mirror (with `hooks`' device handlers), runs
// hooks.started, then starts the iteration timer. Does nothing when the core
// exists. Fails with "Core init failed: ...".
WorkResult startEngineIfAbsent(HelperState& state, const EngineHooks& hooks, const std::string& sdkRoot);

}  // namespace tavirel::engine
